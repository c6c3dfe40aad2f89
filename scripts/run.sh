#!/usr/bin/env bash
# Sets up this Debian 12 machine, builds dbcsprint and prints the test page:
# on the machine's default printer, or, where it has none (or with
# --capture), on a private spooler whose default queue is a capture
# printer. The captured page is left as a PDF with a PNG preview.
#
# usage: scripts/run.sh [--capture]
set -euo pipefail
cd "$(dirname "$0")/.."

capture=no
case "${1:-}" in
  --capture) capture=yes ;;
  "") ;;
  *) echo "usage: scripts/run.sh [--capture]" >&2; exit 64 ;;
esac

# Install what is missing, then build the Linux program.
scripts/setup.sh build print
cmake --preset native >/dev/null
cmake --build --preset native --target dbcsprint --parallel "$(nproc)"
tool=build/native/dbcsprint

# The report's print lines carry the page's Shift-JIS bytes unchanged.
echo "(The print lines are Shift-JIS; to read them: $tool | iconv -f CP932 -t UTF-8)" >&2

# A default printer of the machine's own gets the page.
if [ "$capture" = no ] && lpstat -d 2>/dev/null | grep -q '^system default destination:'; then
  exec "$tool"
fi

# Otherwise a private spooler with a capture printer as its default.
out=build/test-page
rm -rf "$out"
status=0
python3 tests/harness/with_spooler.py --save-jobs "$out/jobs" -- "$tool" || status=$?
if [ -f "$out/jobs/job-1" ]; then
  mv "$out/jobs/job-1" "$out/test-page.pdf"
  pdftoppm -png -r 100 -singlefile "$out/test-page.pdf" "$out/test-page"
  echo
  echo "No printer of this machine's own: the page went to a capture printer on a private spooler."
  echo "  page:    $out/test-page.pdf"
  echo "  preview: $out/test-page.png"
fi
rm -rf "$out/jobs"
exit "$status"
