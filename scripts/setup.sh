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
    package) wanted+=("${package_packages[@]}") ;;
    *) echo "setup.sh: unknown group: $group" >&2; exit 64 ;;
  esac
done

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
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
if [[ " $* " == *" wine "* ]] && ! locale -a 2>/dev/null | grep -qx 'ja_JP.utf8'; then
  echo "setup.sh: generating the ja_JP.UTF-8 locale"
  "${sudo[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
