#!/usr/bin/env bash
# Prints the path of the wine64 loader: on PATH, or where Debian's wine64
# package lays it out (it installs it beside wine, not on PATH).
set -euo pipefail
if command -v wine64 >/dev/null 2>&1; then
  command -v wine64
  exit 0
fi
loader=$(dpkg-query -L wine64 2>/dev/null | grep -E '/wine64$' | head -n 1 || true)
if [ -n "$loader" ] && [ -x "$loader" ]; then
  echo "$loader"
  exit 0
fi
echo "find_wine64.sh: no wine64 loader: install Debian's wine64 package" >&2
exit 1
