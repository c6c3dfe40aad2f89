#!/usr/bin/env python3
"""Benchmark, run by hand (not in CI): how long the test page takes to reach
the printer, against the floor of spooling a page and what a user would do
instead, on one private spooler with a capture printer.

usage: bench/bench.py [--runs N] [--build DIR] [--win64-build DIR] [--win32-build DIR]

Rows, each timed from the start of the command until the capture printer
holds the whole job (medians over N runs, interleaved):
  (a) dbcsprint to the capture queue
  (b) lp of the same page's PDF to the same queue: the floor for a page
  (c) lp of the three lines as a UTF-8 text file
  (d) the 64-bit Windows build under wine64 (a prefix of its own, its
      wineserver kept running), when that build is there
  (e) the 32-bit product under Wine's 32-bit loader in the same WoW64
      prefix, when that build is there: emulated by qemu-i386 where the
      kernel does not run 32-bit x86 programs itself, so for the record
Prints the medians, the ratios a/b, a/c, d/a and e/a, and the peak RSS of
(a); then the requests one run of dbcsprint and one lp of the PDF to the
default queue make, from the spooler's access log.
Targets: a/b <= 1.5, peak RSS <= 24 MiB, no more IPP requests than lp.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402


def timed(command, env, printer):
    """Seconds from start to the job's arrival, and the peak RSS (KiB)."""
    before = len(printer.jobs())
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise RuntimeError(f"{command[0]} failed with status {status}")
    printer.wait_for_jobs(before + 1)
    return time.perf_counter() - start, usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "native"))
    parser.add_argument("--win64-build", default=os.path.join(HERE, "..", "build", "win64"))
    parser.add_argument("--win32-build", default=os.path.join(HERE, "..", "build", "win32"))
    args = parser.parse_args()
    if args.runs < 10:
        parser.error("at least 10 runs")
    tool = os.path.join(args.build, "dbcsprint")
    windows = {  # row: (name, the program, the helper of the same build)
        "d": ("wine64 dbcsprint.exe", os.path.join(args.win64_build, "dbcsprint.exe"),
              os.path.join(args.win64_build, "tests", "list_printers.exe")),
        "e": ("wine (32-bit) dbcsprint.exe", os.path.join(args.win32_build, "dbcsprint.exe"),
              os.path.join(args.win32_build, "tests", "list_printers.exe")),
    }
    wine = None

    with PrivateSpooler() as spooler, tempfile.TemporaryDirectory() as work:
        printer = spooler.add_capture_queue("bench", default=True)
        env = spooler.env

        # The same page as a PDF, and the three lines as text.
        subprocess.run([tool], env=env, stdout=subprocess.DEVNULL, check=True)
        page = os.path.join(work, "page.pdf")
        with open(printer.wait_for_jobs(1)[0], "rb") as job, open(page, "wb") as copy:
            copy.write(job.read())
        text = os.path.join(work, "lines.txt")
        with open(text, "w", encoding="utf-8") as lines:
            lines.write("壱\n弐　弐\n参　参　　　参\n")

        rows = {
            "a": ("dbcsprint", [tool]),
            "b": ("lp, the page's PDF", ["lp", "-d", "bench", page]),
            "c": ("lp, the lines as text", ["lp", "-d", "bench", text]),
        }
        for key, (name, exe, lister) in windows.items():
            if not (os.path.exists(exe) and os.path.exists(lister)):
                preset = "win64" if key == "d" else "win32"
                print(f"no {exe}: row ({key}) left out (cmake --build --preset {preset})")
                continue
            if wine is None:
                wine = WinePrefix(env)
                wine.register_printers(lister)
            rows[key] = (name, wine.command(exe))
        times = {key: [] for key in rows}
        peak = 0
        for _ in range(args.runs):
            for key, (_, command) in rows.items():
                seconds, rss = timed(command, wine.env if key in windows else env, printer)
                times[key].append(seconds)
                if key == "a":
                    peak = max(peak, rss)
        if wine is not None:
            wine.close()

        # The requests of one run each, to the default queue.
        counted = {}
        for name, command in (("dbcsprint", [tool]), ("lp of the PDF", ["lp", page])):
            mark = len(spooler.requests())
            before = len(printer.jobs())
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, check=True)
            printer.wait_for_jobs(before + 1)
            counted[name] = spooler.requests()[mark:]

    medians = {key: statistics.median(values) for key, values in times.items()}
    print(f"{args.runs} runs each, to a capture printer on a private spooler")
    for key, (name, _) in rows.items():
        print(f"  ({key}) {name:28} median {medians[key] * 1000:8.1f} ms")
    print(f"  a/b = {medians['a'] / medians['b']:.2f}   (target <= 1.5)")
    print(f"  a/c = {medians['a'] / medians['c']:.2f}")
    for key in windows:
        if key in medians:
            print(f"  {key}/a = {medians[key] / medians['a']:.2f}")
    print(f"  peak RSS of (a) = {peak / 1024:.1f} MiB   (target <= 24 MiB)")
    print("Requests of one run to the default queue (the spooler's access log):")
    for name, requests in counted.items():
        ipp = [operation for method, _, operation in requests if method == "POST"]
        other = [f"{method} {resource}" for method, resource, _ in requests if method != "POST"]
        print(f"  {name:14} {len(ipp)} IPP: {', '.join(ipp)}"
              + (f"; and {', '.join(other)}" if other else ""))


if __name__ == "__main__":
    sys.exit(main())
