#!/usr/bin/env bash
# Installs what dbcsprint needs on a Debian 12 machine, from Debian's own
# packages. Only what is missing is installed; as a normal user, apt-get
# runs through sudo.
#
# usage: scripts/setup.sh GROUP...
#   build  compilers and libraries for every build (native and Windows)
#   print  the spooler, the font and the PDF tools for printing the page
#   test   what the tests use besides
#   wine   wine64 and the Japanese locale its code page 932 comes from
#   wine32 the same for 32-bit Windows programs: i386 multiarch, wine32 and
#          32-bit libcups (WoW64 beside wine64), and qemu-i386 where the
#          kernel cannot run 32-bit x86 programs itself
#   package  the Debian packaging tools, lintian and the manual page checkers
set -euo pipefail

build_packages=(
  cmake g++ pkg-config python3 googletest
  libcups2-dev libcairo2-dev libfontconfig-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
)
# cups brings cupsd and the socket backend; cups-filters and ghostscript
# the filters of driverless and PPD queues (and tools/pagecheck.py renders
# PDF and PostScript with ghostscript); fonts-ipafont-gothic a Japanese
# font; poppler-utils reads the page back and renders its preview.
print_packages=(
  cups cups-client cups-filters ghostscript fontconfig fonts-ipafont-gothic poppler-utils
)
# cups-ipp-utils brings ippeveprinter, an IPP Everywhere printer, which
# needs a D-Bus daemon of its own; python3-fonttools lets pagecheck.py read
# fonts with CFF outlines.
test_packages=(
  clang libclang-rt-14-dev clang-format clang-tidy
  cups-ipp-utils dbus-daemon python3-fonttools
)
wine_packages=(
  wine64 locales
)
# Without the 32-bit libcups, Wine's 32-bit side finds no printer.
wine32_packages=(
  "${wine_packages[@]}" wine32:i386 libcups2:i386 qemu-user-static
)
# debhelper builds the Debian package (with the build group's libraries)
# from a clean copy git exports; lintian checks it; mandoc, groff and man-db
# check and find the manual page.
package_packages=(
  build-essential debhelper lintian mandoc groff-base man-db git
)

wanted=()
for group in "$@"; do
  case "$group" in
    build) wanted+=("${build_packages[@]}") ;;
    print) wanted+=("${print_packages[@]}") ;;
    test) wanted+=("${test_packages[@]}") ;;
    wine) wanted+=("${wine_packages[@]}") ;;
    wine32) wanted+=("${wine32_packages[@]}") ;;
    package) wanted+=("${package_packages[@]}") ;;
    *) echo "setup.sh: unknown group: $group" >&2; exit 64 ;;
  esac
done

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

# The Japanese locale, kept in /etc/locale.gen: one made by localedef alone
# is lost whenever the locales package regenerates the locale archive (as
# its trigger does when apt installs other packages).
ensure_japanese_locale() {
  if [ -f /etc/locale.gen ] && ! grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    echo "setup.sh: enabling ja_JP.UTF-8 in /etc/locale.gen"
    "${sudo[@]}" sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
    grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen ||
      echo 'ja_JP.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  fi
}
wants_locale=no
if [[ " $* " == *" wine "* || " $* " == *" wine32 "* ]]; then
  wants_locale=yes
  # Before any install, so that a regeneration on the way keeps it.
  ensure_japanese_locale
fi

if [[ " $* " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup.sh: adding the i386 architecture"
  "${sudo[@]}" dpkg --add-architecture i386
fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  # Another apt run (a second setup, the system's own) may hold the lock:
  # wait for it rather than fail.
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine takes its ANSI code page from the locale: ja_JP.UTF-8 gives 932.
if [ "$wants_locale" = yes ]; then
  ensure_japanese_locale
  if ! locale -a 2>/dev/null | grep -qx 'ja_JP.utf8'; then
    echo "setup.sh: generating the ja_JP.UTF-8 locale"
    "${sudo[@]}" locale-gen
  fi
fi

# Whether this machine runs a 32-bit x86 program: a minimal static i386 ELF
# (one program header, then code for exit(42) through int 0x80).
runs_i386() {
  local folder status=0
  folder=$(mktemp -d)
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$folder/exit42"
  chmod +x "$folder/exit42"
  "$folder/exit42" 2>/dev/null || status=$?
  rm -rf "$folder"
  [ "$status" -eq 42 ]
}

# Debian registers no qemu-i386 handler on amd64, where i386 counts as
# native; where the kernel refuses such programs, register one, with F so
# that the emulator is opened now and found from any root. A registration
# already there is never changed.
if [[ " $* " == *" wine32 "* ]] && ! runs_i386; then
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    echo "setup.sh: mounting binfmt_misc"
    "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    echo "setup.sh: 32-bit x86 programs do not run, and $binfmt/qemu-i386 is there already:" \
      "left as it is" >&2
    exit 1
  fi
  echo "setup.sh: registering qemu-i386-static for 32-bit x86 programs"
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
    "${sudo[@]}" tee "$binfmt/register" >/dev/null
  if ! runs_i386; then
    echo "setup.sh: 32-bit x86 programs still do not run" >&2
    exit 1
  fi
fi
