#!/usr/bin/env bash
# Runs a Windows program under wine64, in a Wine prefix made on first use.
#
# usage: wine_run.sh PREFIX PROGRAM [ARGUMENT...]
#        wine_run.sh PREFIX --stop    ends the prefix's wineserver and its services
#
# The prefix is quiet (WINEDEBUG=-all), has no Mono or Gecko, and uses code
# page 932 (LC_ALL=ja_JP.UTF-8) unless LC_ALL is set already.
set -euo pipefail
prefix=$1
shift

wine=$("$(dirname "$0")/find_wine64.sh")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=${LC_ALL:-ja_JP.UTF-8}

if [ "${1:-}" = "--stop" ]; then
  server=$(dirname "$wine")/wineserver64
  [ -x "$server" ] || server=$(dirname "$wine")/wineserver
  [ -d "$prefix" ] || exit 0
  "$server" -k 2>/dev/null || true
  exec "$server" -w
fi

# One process makes the prefix; the others wait for it.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
fi
flock -u 9
exec "$wine" "$@"
