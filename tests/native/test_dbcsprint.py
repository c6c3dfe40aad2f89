"""dbcsprint on Linux, end to end: through a private spooler to a capture
printer, the page read back by poppler's pdftotext.

DBCSPRINT names the program under test.
"""

import os
import re
import struct
import subprocess
import sys
import unittest

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, TESTS)
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.transcripts import FULL_PAGE, native_entry, transcript  # noqa: E402

DBCSPRINT = os.environ.get("DBCSPRINT", "")
DPI = 600  # the platform's resolution for a destination that reports none
POINT = 72 / DPI


def font_cell():
    """The cell of the default font in device units, read from the font file
    itself: a full-width character is 1 em wide, and the height is the
    font's ascent plus descent (its hhea table), at 12 pt."""
    match = subprocess.run(["fc-match", "-f", "%{file}\n%{index}", "sans-serif:lang=ja"],
                           check=True, capture_output=True, text=True).stdout.split("\n")
    with open(match[0], "rb") as font:
        data = font.read()
    offset = 0
    if data[:4] == b"ttcf":
        offset = struct.unpack(">I", data[12 + 4 * int(match[1]):16 + 4 * int(match[1])])[0]
    count = struct.unpack(">H", data[offset + 4:offset + 6])[0]
    tables = {}
    for i in range(count):
        entry = data[offset + 12 + 16 * i:offset + 28 + 16 * i]
        tables[entry[:4]] = struct.unpack(">I", entry[8:12])[0]
    units = struct.unpack(">H", data[tables[b"head"] + 18:tables[b"head"] + 20])[0]
    ascent, descent = struct.unpack(">hh", data[tables[b"hhea"] + 4:tables[b"hhea"] + 8])
    em = 12 * DPI / 72
    return round(em), round((ascent - descent) / units * em)


def words(pdf):
    """(text, xMin, yMin) of every word pdftotext finds, and the page count."""
    out = subprocess.run(["pdftotext", "-bbox", pdf, "-"], check=True, capture_output=True,
                         text=True).stdout
    found = [(m.group(3), float(m.group(1)), float(m.group(2))) for m in re.finditer(
        r'<word xMin="([\d.]+)" yMin="([\d.]+)"[^>]*>([^<]*)</word>', out)]
    return found, out.count("<page ")


class PrintsThroughTheSpooler(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.spooler = PrivateSpooler()
        cls.printer = cls.spooler.add_capture_queue("capture", default=True)

    @classmethod
    def tearDownClass(cls):
        cls.spooler.stop()

    def run_tool(self, env=None, **changes):
        env = dict(env or self.spooler.env)
        env.update(changes)
        return subprocess.run([DBCSPRINT], env=env, capture_output=True, timeout=120)

    def test_prints_the_page_at_the_distances_asked_for(self):
        before = len(self.printer.jobs())
        done = self.run_tool()
        self.assertEqual(done.stdout, transcript(*native_entry("capture"), *FULL_PAGE),
                         done.stderr)
        self.assertEqual(done.returncode, 0)

        job = self.printer.wait_for_jobs(before + 1)[before]
        with open(job, "rb") as captured:
            self.assertEqual(captured.read(5), b"%PDF-")
        found, pages = words(job)
        self.assertEqual(pages, 1)
        self.assertEqual([w[0] for w in found], ["壱", "弐", "弐", "参", "参", "参"])

        cx, cy = font_cell()
        x0, y0 = 16 * cx * POINT, 10 * cy * POINT
        expected = [  # character origins: 2 cells, then 4 cells, apart; lines 2 cells apart
            (x0, y0), (x0, y0 + 2 * cy * POINT), (x0 + 2 * cx * POINT, y0 + 2 * cy * POINT),
            (x0, y0 + 4 * cy * POINT), (x0 + 2 * cx * POINT, y0 + 4 * cy * POINT),
            (x0 + 6 * cx * POINT, y0 + 4 * cy * POINT),
        ]
        for (text, x, y), (want_x, want_y) in zip(found, expected):
            self.assertAlmostEqual(x, want_x, delta=0.5, msg=f"{text} at x {x}")
            self.assertAlmostEqual(y, want_y, delta=0.5, msg=f"{text} at y {y}")

    def test_makes_no_more_ipp_requests_than_lp(self):
        # The destination is looked up once a run; lp of the same PDF to
        # the default queue makes 5 IPP requests.
        def ipp_requests_of(command):
            mark = len(self.spooler.requests())
            before = len(self.printer.jobs())
            subprocess.run(command, env=self.spooler.env, check=True, capture_output=True)
            job = self.printer.wait_for_jobs(before + 1)[before]
            return [op for method, _, op in self.spooler.requests()[mark:] if method == "POST"], job

        tool, job = ipp_requests_of([DBCSPRINT])
        lp, _ = ipp_requests_of(["lp", job])
        self.assertEqual(tool, ["CUPS-Get-Default", "Get-Printer-Attributes", "Create-Job",
                                "Send-Document"])
        self.assertLessEqual(len(tool), len(lp), lp)

    def test_job_is_named_test(self):
        self.run_tool()
        self.assertTrue(self.spooler.wait_for_job_named("Test"), self.spooler.job_names())

    def test_spooler_not_running(self):
        done = self.run_tool(CUPS_SERVER=os.path.join(self.spooler.root, "no-such.sock"))
        self.assertEqual(done.stdout, transcript("(null)", "(null)", "(null)",
                                                 "Error : hDC == NULL"))
        self.assertEqual(done.returncode, 1)

    def test_default_queue_rejecting_jobs(self):
        self.spooler.add_capture_queue("closed")
        self.spooler.run("cupsreject", "closed")
        done = self.run_tool(PRINTER="closed")
        self.assertEqual(done.stdout, transcript(*native_entry("closed"),
                                                 "CreateDC() Successfull.",
                                                 "StartDoc() == SP_ERROR",
                                                 "DeleteDC() Successful."))
        self.assertEqual(done.returncode, 1)

    def test_long_destination_names(self):
        # The entry "<name>,cups," is cut at 63 bytes. Names of up to 58
        # bytes keep their driver field and print whole; a longer one opens
        # nothing, even where a queue has the name the cut leaves.
        cases = [  # (name length, queue of the cut name too, prints, driver shown)
            (40, False, True, "cups"),
            (58, False, True, "cups"),
            (59, False, False, "cup"),
            (70, False, False, "(null)"),
            (70, True, False, "(null)"),
        ]
        for length, cut_queue, prints, driver in cases:
            with self.subTest(length=length, cut_queue=cut_queue):
                name = (f"q{length}{'-cut' if cut_queue else ''}-" + "x" * length)[:length]
                printer = self.spooler.add_capture_queue(name)
                shown = name[:63]
                if cut_queue:
                    cut_printer = self.spooler.add_capture_queue(shown)
                done = self.run_tool(PRINTER=name)
                tail = FULL_PAGE if prints else ["Error : hDC == NULL"]
                self.assertEqual(done.stdout, transcript(shown, driver, "(null)", *tail),
                                 done.stderr)
                self.assertEqual(done.returncode, 0 if prints else 1)
                if prints:
                    printer.wait_for_jobs(1)
                if cut_queue:
                    self.assertEqual(cut_printer.jobs(), [])
                self.assertEqual(self.spooler.run("lpstat", "-o").strip(), "")

if __name__ == "__main__":
    if not os.path.exists(DBCSPRINT):
        sys.exit("DBCSPRINT must name the program under test")
    unittest.main()
