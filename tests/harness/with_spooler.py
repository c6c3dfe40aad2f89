#!/usr/bin/env python3
"""Runs a command against a private spooler whose default queue is a
capture printer.

usage: tests/harness/with_spooler.py [--queue NAME] [--save-jobs DIR] -- COMMAND...

The command sees CUPS_SERVER (the spooler's socket), DBCSPRINT_QUEUE (the
queue's name) and DBCSPRINT_CAPTURE_DIR (where the capture printer saves
what it receives). With --save-jobs, the jobs the command printed are
copied to DIR once the spooler has passed them on. Exits with the
command's status.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness.spooler import PrivateSpooler  # noqa: E402


def queue_is_empty(spooler):
    return spooler.run("lpstat", "-o").strip() == ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--queue", default="capture")
    parser.add_argument("--save-jobs")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("give a command")

    with PrivateSpooler() as spooler:
        printer = spooler.add_capture_queue(args.queue, default=True)
        env = spooler.env
        env["DBCSPRINT_QUEUE"] = args.queue
        env["DBCSPRINT_CAPTURE_DIR"] = printer.folder
        status = subprocess.run(command, env=env).returncode
        if args.save_jobs:
            deadline = time.monotonic() + 60
            while not queue_is_empty(spooler) and time.monotonic() < deadline:
                time.sleep(0.1)
            os.makedirs(args.save_jobs, exist_ok=True)
            for job in printer.jobs():
                shutil.copy(job, args.save_jobs)
    return status


if __name__ == "__main__":
    sys.exit(main())
