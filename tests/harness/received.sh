#!/bin/sh
# ippeveprinter's print command for the test printers: it runs once a
# document has been received whole, with the document's path. Keep it
# where the harness looks (a link appears at once, complete), and finish,
# so that the job completes without ippeveprinter's simulated printing.
set -e
name=$(basename "$1")
ln "$1" "$DBCSPRINT_RECEIVED_DIR/.$name" 2>/dev/null || cp "$1" "$DBCSPRINT_RECEIVED_DIR/.$name"
mv "$DBCSPRINT_RECEIVED_DIR/.$name" "$DBCSPRINT_RECEIVED_DIR/$name"
