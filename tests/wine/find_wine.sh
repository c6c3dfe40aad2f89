#!/usr/bin/env bash
# Prints the path of the Wine loader that runs PROGRAM: Debian's 32-bit
# loader (package wine32) for a 32-bit x86 program (PE32, machine i386),
# the wine64 loader for any other program or without one. Debian installs
# both beside each other under /usr/lib/wine, not on PATH.
#
# usage: find_wine.sh [PROGRAM]
set -euo pipefail

# The machine field of the PE header (at the offset stored at 0x3c, after
# the 4-byte signature): 014c for i386.
is_i386_program() {
  local header machine
  [ -f "$1" ] || return 1
  header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$header" ] || return 1
  machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  [ "$machine" = 014c ]
}

# The executable file a Debian package installs under the given name.
packaged() {
  local path
  while IFS= read -r path; do
    if [ -f "$path" ] && [ -x "$path" ]; then
      echo "$path"
      return 0
    fi
  done < <(dpkg-query -L "$1" 2>/dev/null | grep -E "/$2\$" || true)
  return 1
}

if [ $# -gt 0 ] && is_i386_program "$1"; then
  packaged wine32 wine && exit 0
  echo "find_wine.sh: no 32-bit Wine loader: run scripts/setup.sh wine32" >&2
  exit 1
fi
if command -v wine64 >/dev/null 2>&1; then
  command -v wine64
  exit 0
fi
packaged wine64 wine64 && exit 0
echo "find_wine.sh: no wine64 loader: install Debian's wine64 package" >&2
exit 1
