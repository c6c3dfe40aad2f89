#!/usr/bin/env python3
"""Runs scenario files through scripted_run and checks what it did.

usage: run_scenarios.py [--line-end lf|crlf] [--docinfo-size BYTES] -- COMMAND... SCENARIO...

COMMAND is scripted_run, with any emulator in front of it (every argument
after "--" up to the first one ending in ".scn"). Besides its key=value lines,
a scenario states what must come of it, in comments:

  #> LINE    a line of standard output, in order (\\xHH is a byte)
  #! LINE    a line of standard error: the call log, then any message
  #= STATUS  the exit status, or "crash" for a process that died in a call

Standard output must be exactly the #> lines, each ended by the line end
given; standard error exactly the #! lines (of a crash, it must begin with
them: the runtime may add its own words). Every run writes its standard
output to a file; a crashing one runs again with it on a pipe, since the
report must survive the crash either way.

The log lines give StartDocA's record as 40 bytes, its size with 8-byte
pointers; --docinfo-size gives its size in the build under test (20 in a
32-bit one).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

TOOL_STATUSES = {0, 1, 2, 64}
DOCINFO_IN_SCENARIOS = b"StartDocA cbSize=40 "


def unescape(text):
    return re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]),
                  text.encode("latin-1"))


def expectations(path):
    out, err, status = [], [], None
    with open(path, "rb") as scenario:
        for raw in scenario.read().decode("latin-1").splitlines():
            if raw.startswith("#> ") or raw == "#>":
                out.append(unescape(raw[3:]))
            elif raw.startswith("#! "):
                err.append(unescape(raw[3:]))
            elif raw.startswith("#= "):
                status = raw[3:].strip()
    if status is None:
        raise SystemExit(f"{path}: no '#= STATUS' line")
    return out, err, status


def joined(lines, eol):
    return b"".join(line + eol for line in lines)


def run(command, scenario, to_pipe):
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        if to_pipe:
            done = subprocess.run(command + [scenario], stdout=subprocess.PIPE, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=120)
            stdout = done.stdout
        else:
            done = subprocess.run(command + [scenario], stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            stdout = out.read()
        err.seek(0)
        # A message that names the scenario file names it as SCENARIO.
        return done.returncode, stdout, err.read().replace(scenario.encode(), b"SCENARIO")


def check(command, scenario, eol, docinfo_size):
    """Returns a list of failures of one scenario."""
    want_out, want_err, want_status = expectations(scenario)
    docinfo = b"StartDocA cbSize=%d " % docinfo_size
    want_err = [line.replace(DOCINFO_IN_SCENARIOS, docinfo) for line in want_err]
    crash = want_status == "crash"
    failures = []
    for to_pipe in ([False, True] if crash else [False]):
        where = f"{os.path.basename(scenario)} (stdout to a {'pipe' if to_pipe else 'file'})"
        status, stdout, stderr = run(command, scenario, to_pipe)
        if crash:
            if status in TOOL_STATUSES:
                failures.append(f"{where}: exit status {status}, expected a crash")
        elif str(status) != want_status:
            failures.append(f"{where}: exit status {status}, expected {want_status}")
        if stdout != joined(want_out, eol):
            failures.append(f"{where}: stdout differs\n--- expected\n{joined(want_out, eol)!r}"
                            f"\n--- actual\n{stdout!r}")
        expected_err = joined(want_err, eol)
        if (not stderr.startswith(expected_err)) if crash else stderr != expected_err:
            failures.append(f"{where}: stderr differs\n--- expected\n{expected_err!r}"
                            f"\n--- actual\n{stderr!r}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--line-end", choices=["lf", "crlf"], default="lf")
    parser.add_argument("--docinfo-size", type=int, default=40)
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    rest = args.rest[1:] if args.rest[:1] == ["--"] else args.rest
    command = [a for a in rest if not a.endswith(".scn")]
    scenarios = [a for a in rest if a.endswith(".scn")]
    if not command or not scenarios:
        parser.error("give scripted_run and at least one scenario")
    eol = b"\r\n" if args.line_end == "crlf" else b"\n"

    failures = []
    for scenario in scenarios:
        failures += check(command, scenario, eol, args.docinfo_size)

    # A scenario that cannot be read is scripted_run's own usage error.
    with tempfile.TemporaryDirectory() as empty:
        status, stdout, _ = run(command, os.path.join(empty, "missing.scn"), False)
    if status != 64 or stdout:
        failures.append(f"missing scenario file: exit status {status}, stdout {stdout!r}")

    for failure in failures:
        print("FAIL", failure)
    print(f"{len(scenarios)} scenarios, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
