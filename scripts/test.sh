#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test of dbcsprint: builds every
# preset, runs each preset's tests (the native ones build, install and remove
# the Debian package; the win32 ones check the release zip), fuzzes the entry
# reader for a bounded time and runs the format and static checks. Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build print test wine wine32 package

jobs=$(nproc)
# The Windows builds run under Wine, each in a prefix made afresh here.
rm -rf build/win32/wine-prefix build/win32/wine-prefix.lock \
  build/win64/wine-prefix build/win64/wine-prefix.lock

for preset in native asan-ubsan win32 win64; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" --parallel "$jobs"
  ctest --preset "$preset"
done

echo "== fuzz"
cmake --preset fuzz
cmake --build --preset fuzz --parallel "$jobs"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
build/fuzz/fuzz/printer_entry_fuzz -max_len=200 -max_total_time=30 "$corpus"

echo "== lint"
scripts/lint.sh

echo "== all tests passed"
