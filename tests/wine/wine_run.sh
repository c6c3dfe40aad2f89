#!/usr/bin/env bash
# Runs a Windows program under Wine, in a Wine prefix made on first use:
# a 64-bit program under wine64, a 32-bit one under Debian's 32-bit loader
# (the prefix is WoW64 where wine32 is installed beside wine64).
#
# usage: wine_run.sh PREFIX PROGRAM [ARGUMENT...]
#        wine_run.sh PREFIX --stop    ends the prefix's wineserver and its services
#
# The prefix is quiet (WINEDEBUG=-all), has no Mono or Gecko, and uses code
# page 932 (LC_ALL=ja_JP.UTF-8) unless LC_ALL is set already.
set -euo pipefail
prefix=$1
shift

here=$(dirname "$0")
wine64=$("$here/find_wine.sh")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=${LC_ALL:-ja_JP.UTF-8}
# Where qemu-i386 runs the 32-bit side: a guest address space of 2 GiB and
# the 4 MiB above it where Wine keeps its own tables. With the whole 4 GiB,
# each 32-bit process spends a minute or more at start on futile address
# reservations (tests/harness/wine.py says why).
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x80400000}

if [ "${1:-}" = "--stop" ]; then
  server=$(dirname "$wine64")/wineserver64
  [ -x "$server" ] || server=$(dirname "$wine64")/wineserver
  [ -d "$prefix" ] || exit 0
  "$server" -k 2>/dev/null || true
  exec "$server" -w
fi

# One process makes the prefix; the others wait for it.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
  "$wine64" wineboot -i >/dev/null 2>&1
fi
flock -u 9
loader=$("$here/find_wine.sh" "$1")
exec "$loader" "$@"
