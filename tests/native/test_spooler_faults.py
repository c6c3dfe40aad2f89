"""dbcsprint against a spooler that fails it: a fault-injecting proxy
between the tool and a real private cupsd closes, fails, stalls or loses
the answer to one request of a run; signals arrive mid-job; descriptors
are closed; a queue wants a password. Whatever happens, the report says
"EndDoc() Successful." only when the printer received the whole job, every
failure makes the exit status 1, the run ends within its bound, and no job
is left in the queue.

DBCSPRINT names the program under test.
"""

import os
import signal
import subprocess
import sys
import time
import unittest

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, TESTS)
from harness.proxy import FaultProxy  # noqa: E402
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.transcripts import FULL_PAGE, closing_faults, native_entry, transcript  # noqa: E402

DBCSPRINT = os.environ.get("DBCSPRINT", "")
# A run against a spooler that stops answering anywhere ends within about a
# minute; past this the test takes it for a hang.
BOUND = 60
RUN = ["CUPS-Get-Default", "Get-Printer-Attributes", "GET /printers/capture.ppd", "Create-Job",
       "Send-Document"]

# Faults at every request of a run, then the two stalls (a look-up before
# the job; the document's answer) and the answer to the document lost after
# the spooler took it; and whether the page prints. A queue whose PPD the
# spooler will not give (an error, not silence) is sent PDF, which every
# queue takes; where the spooler took the document and its answer was lost,
# the job's own state says so.
FAULTS = [(fault, at, fault == "error" and RUN[at - 1].startswith("GET"))
          for at in range(1, len(RUN) + 1) for fault in ("close", "error")] + [
    ("stall", "CUPS-Get-Default", False),
    ("stall", "Send-Document", False),
    ("lose-answer", "Send-Document", True),
]


def whole_pdf(path):
    with open(path, "rb") as job:
        data = job.read()
    return data.startswith(b"%PDF-") and data.rstrip().endswith(b"%%EOF")


class SpoolerFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.spooler = PrivateSpooler(tcp=True)
        cls.printer = cls.spooler.add_capture_queue("capture", default=True)

    @classmethod
    def tearDownClass(cls):
        cls.spooler.stop()

    def queue(self):
        return self.spooler.run("lpstat", "-o").strip()

    def settle(self, before):
        """The jobs the printer received since before, once the queue is
        empty and the printer quiet (or what is left in the queue after
        15 s)."""
        deadline = time.monotonic() + 15
        while self.queue() and time.monotonic() < deadline:
            time.sleep(0.1)
        received = None
        while received != self.printer.jobs() and time.monotonic() < deadline:
            received = self.printer.jobs()
            time.sleep(0.3)
        return self.printer.jobs()[before:], self.queue()

    def test_a_run_makes_these_requests(self):
        before = len(self.printer.jobs())
        with FaultProxy(self.spooler.socket) as proxy:
            done = subprocess.run([DBCSPRINT], env=dict(self.spooler.env, CUPS_SERVER=proxy.socket),
                                  capture_output=True, timeout=BOUND)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(self.settle(before)[0]), 1)
        self.assertEqual([request.name for request in proxy.requests], RUN, proxy.log())

    def test_faults(self):
        for fault, at, prints in FAULTS:
            with self.subTest(fault=fault, at=at):
                before = len(self.printer.jobs())
                with FaultProxy(self.spooler.socket, fault=fault, at=at) as proxy:
                    env = dict(self.spooler.env, CUPS_SERVER=proxy.socket)
                    started = time.monotonic()
                    done = subprocess.run([DBCSPRINT], env=env, capture_output=True, timeout=BOUND)
                    took = time.monotonic() - started
                    self.assertIsNotNone(proxy.faulted, proxy.log())
                received, left = self.settle(before)
                report = done.stdout.decode("cp932")
                why = f"{took:.1f} s\n{report}{done.stderr.decode()}\n{proxy.log()}"
                ending = " / ".join(report.splitlines()[-2:])
                print(f"\n  {fault} at {proxy.faulted.name if proxy.faulted else at}: {ending};"
                      f" status {done.returncode}; {took:.1f} s", file=sys.stderr, end="")

                self.assertEqual(closing_faults(done.stdout), [], why)
                self.assertEqual(left, "", why)
                succeeded = "EndDoc() Successful." in report
                self.assertEqual(succeeded, len(received) == 1 and whole_pdf(received[0]), why)
                self.assertEqual(done.stdout == transcript(*native_entry("capture"), *FULL_PAGE),
                                 prints, why)
                self.assertEqual(done.returncode, 0 if prints else 1, why)
                if fault == "stall":
                    self.assertIn(b"did not answer within 10 s", done.stderr, why)

    def test_signal_during_a_job_cancels_it(self):
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum.name):
                before = len(self.printer.jobs())
                with FaultProxy(self.spooler.socket, fault="stall", at="Send-Document") as proxy:
                    env = dict(self.spooler.env, CUPS_SERVER=proxy.socket)
                    tool = subprocess.Popen([DBCSPRINT], env=env, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE)
                    try:
                        self.assertIsNotNone(proxy.wait_for_fault(BOUND), proxy.log())
                        self.assertNotEqual(self.queue(), "", "the job is not in the queue")
                        tool.send_signal(signum)
                        out, _ = tool.communicate(timeout=BOUND)
                    finally:
                        tool.kill()
                        tool.wait()
                received, left = self.settle(before)
                self.assertEqual(tool.returncode, -signum, out)
                self.assertEqual(left, "")
                self.assertEqual(received, [])

    def test_closed_standard_descriptors(self):
        # Descriptors closed at start are held on /dev/null: nothing meant
        # for the console reaches the spooler, and the job prints whole.
        cases = [  # (shell redirection, status, report seen, reason seen)
            (">&-", 1, False, True),
            ("2>&-", 0, True, False),
            (">&- 2>&-", 1, False, False),
        ]
        for redirection, status, report_seen, reason_seen in cases:
            with self.subTest(redirection=redirection):
                before = len(self.printer.jobs())
                errors = len(self.spooler.error_log())
                done = subprocess.run(["sh", "-c", f'exec "$0" {redirection}', DBCSPRINT],
                                      env=self.spooler.env, capture_output=True, timeout=BOUND)
                received, left = self.settle(before)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout != b"", report_seen)
                self.assertEqual(b"the report could not be written" in done.stderr, reason_seen)
                self.assertEqual(len(received), 1)
                self.assertTrue(whole_pdf(received[0]))
                self.assertEqual(left, "")
                unknown = [line for line in self.spooler.error_log()[errors:]
                           if "Unknown request method" in line or "Bad request line" in line]
                self.assertEqual(unknown, [])

    def test_queue_wanting_a_password_over_tcp_from_a_terminal(self):
        # libcups would ask on the terminal, without end; the tool asks no
        # one and StartDoc fails at once.
        self.spooler.add_capture_queue("secure", policy="authenticated")
        env = dict(self.spooler.env, CUPS_SERVER=self.spooler.tcp, PRINTER="secure")
        done = subprocess.run(["script", "-qec", f"'{DBCSPRINT}'", "/dev/null"], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=BOUND)
        terminal = done.stdout.replace(b"\r\n", b"\n")
        report = b"".join(line + b"\n" for line in terminal.split(b"\n")
                          if line and not line.startswith(b"dbcsprint: "))
        self.assertEqual(report, transcript(*native_entry("secure"), "CreateDC() Successfull.",
                                            "StartDoc() == SP_ERROR", "DeleteDC() Successful."),
                         terminal)
        self.assertIn(b"asks for none", terminal)
        self.assertNotIn(b"Password", terminal)
        self.assertEqual(self.queue(), "")


if __name__ == "__main__":
    if not os.path.exists(DBCSPRINT):
        sys.exit("DBCSPRINT must name the program under test")
    unittest.main()
