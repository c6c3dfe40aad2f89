"""The Windows builds of dbcsprint on a real implementation of the Windows
profile and printing calls, Debian's Wine, printing through a private
spooler to a capture printer: the 32-bit product under Wine's 32-bit loader
(WoW64), the 64-bit build under wine64.

DBCSPRINT_EXE names the Windows dbcsprint.exe, LIST_PRINTERS_EXE the helper
that makes Wine take in the spooler's queues (either of the same build);
WINE_PREFIX, when set, the Wine prefix to use (made there if it is not yet)
instead of a fresh one.

What Debian's Wine 8.0 does, as seen here, 32-bit and 64-bit alike:
- Its profile entry "device" names the spooler's queues only once a program
  has loaded the Windows spooler library (list_printers does); it then
  reads "<queue>,wineps.drv,CUPS:<queue>", the default queue following the
  spooler's default.
- Its printer driver (wineps.drv) sends the job as PostScript at 300 dpi,
  titled "Test".
- Its printer context decodes the bytes of its default font as code page
  1252, not 932: each byte is drawn as a glyph of its own, placed by its own
  entry of the advance array. A character's lead byte therefore stands at
  the character's origin, and its trail byte (entry 0) at the next
  character's. Each run with advances also gets an opaque white box, one
  cell high, from the top of its cell over the sum of its advances.
"""

import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.transcripts import closing_faults, transcript  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

DBCSPRINT_EXE = os.environ.get("DBCSPRINT_EXE", "")
LIST_PRINTERS_EXE = os.environ.get("LIST_PRINTERS_EXE", "")
WINE_PREFIX = os.environ.get("WINE_PREFIX") or None
CRLF = "\r\n"

# The report as Wine's code page 1252 context gives it: each draw succeeds.
WINE_PAGE = [
    "CreateDC() Successfull.", "StartDoc() Successfull.", "StartPage() Successfull.",
    'print "壱"', "ExtTextOut() : 1 (1:OK 0:NG)",
    'print "弐弐"', "ExtTextOut() : 1 (1:OK 0:NG)",
    'print "参参参"', "ExtTextOut() : 1 (1:OK 0:NG)",
    "EndPage() Successfull.",
]


def drawing(postscript):
    """The glyphs ((x, y, name), each at the point of the moveto before it)
    and the filled boxes ((x, y, width, height)) of a Wine PostScript job,
    in device units, in the order drawn."""
    glyphs, boxes = [], []
    point = None
    lines = postscript.decode("latin-1").splitlines()
    for i, line in enumerate(lines):
        move = re.fullmatch(r"(-?\d+) (-?\d+) moveto", line)
        if move:
            point = (int(move.group(1)), int(move.group(2)))
            box = re.fullmatch(r"(\d+) 0 rlineto", lines[i + 1]) if i + 1 < len(lines) else None
            if box:
                height = re.fullmatch(r"0 (\d+) rlineto", lines[i + 2])
                boxes.append((point[0], point[1], int(box.group(1)), int(height.group(1))))
        glyph = re.fullmatch(r"/(\S+) glyphshow", line)
        if glyph:
            glyphs.append((point[0], point[1], glyph.group(1)))
    return glyphs, boxes


class WindowsBuildUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.spooler = PrivateSpooler()
        try:
            cls.printer = cls.spooler.add_capture_queue("capture", default=True)
            cls.wine = WinePrefix(cls.spooler.env, root=WINE_PREFIX)
        except BaseException:
            cls.spooler.stop()
            raise
        cls.wine.register_printers(LIST_PRINTERS_EXE)

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()
        cls.spooler.stop()

    def run_tool(self, **changes):
        env = dict(self.wine.env)
        env.update(changes)
        return self.wine.run(DBCSPRINT_EXE, env=env)

    def test_prints_the_page_at_the_distances_asked_for(self):
        before = len(self.printer.jobs())
        status, out, err = self.run_tool()
        self.assertEqual(out, transcript("capture", "wineps.drv", "CUPS:capture", *WINE_PAGE,
                                         "EndDoc() Successful.", "DeleteDC() Successful.",
                                         eol=CRLF), err)
        self.assertEqual(status, 0)

        with open(self.printer.wait_for_jobs(before + 1)[before], "rb") as job:
            postscript = job.read()
        self.assertTrue(postscript.startswith(b"%!PS-Adobe-3.0"))
        self.assertIn(b"%%Title: Test", postscript)
        glyphs, boxes = drawing(postscript)

        # One glyph per byte: the runs of 2, 4 and 6 bytes on three baselines.
        baselines = sorted({y for _, y, _ in glyphs})
        self.assertEqual(len(baselines), 3, glyphs)
        runs = [[g for g in glyphs if g[1] == y] for y in baselines]
        self.assertEqual([len(run) for run in runs], [2, 4, 6])
        leads = [[x for x, _, _ in run[0::2]] for run in runs]

        x0 = leads[0][0]
        self.assertEqual(x0 % 16, 0, "x0 is 16 cells")
        cx = x0 // 16
        self.assertEqual(leads[1], [x0, x0 + 2 * cx])
        self.assertEqual(leads[2], [x0, x0 + 2 * cx, x0 + 6 * cx])

        # Lines 2 cells apart; the cells of runs 2 and 3 begin 12 and 14
        # cells down, as their opaque boxes show (run 1 has no advances).
        two_cells = baselines[1] - baselines[0]
        self.assertEqual(baselines[2] - baselines[1], two_cells)
        cy = two_cells // 2
        self.assertEqual(boxes, [(x0, 12 * cy, 2 * cx, cy), (x0, 14 * cy, 6 * cx, cy)])

    def test_job_reaches_the_spooler_named_test(self):
        self.run_tool()
        self.assertTrue(self.spooler.wait_for_job_named("Test"), self.spooler.job_names())

    def test_default_queue_rejecting_jobs_fails_end_doc(self):
        # Wine starts the document and the page and draws; only EndDoc
        # finds the spooler refusing the job, and answers 0.
        self.spooler.run("cupsreject", "capture")
        try:
            status, out, err = self.run_tool()
        finally:
            self.spooler.run("cupsaccept", "capture")
        self.assertEqual(out, transcript("capture", "wineps.drv", "CUPS:capture", *WINE_PAGE,
                                         "EndDoc() <= 0", "DeleteDC() Successful.", eol=CRLF),
                         err)
        self.assertEqual(status, 1)

    def test_queue_deleted_after_wine_registered_it(self):
        self.spooler.add_capture_queue("gone", default=True)
        try:
            self.assertIn("default gone", self.wine.register_printers(LIST_PRINTERS_EXE))
            self.spooler.run("lpadmin", "-x", "gone")
            status, out, err = self.run_tool()
        finally:
            self.spooler.run("lpadmin", "-d", "capture")
            self.wine.register_printers(LIST_PRINTERS_EXE)
        self.assertEqual(out, transcript("gone", "wineps.drv", "CUPS:gone",
                                         "Error : hDC == NULL", eol=CRLF), err)
        self.assertEqual(status, 1)

    def test_spooler_stopped_after_wine_registered_its_queues(self):
        # Only what holds on any platform is asserted. Wine 8.0 here kept
        # the entry and failed CreateDCA: "Error : hDC == NULL".
        status, out, err = self.run_tool(
            CUPS_SERVER=os.path.join(self.spooler.root, "stopped.sock"))
        self.assertEqual(closing_faults(out, eol=CRLF), [], out)
        self.assertTrue(out.startswith(b"Device : capture\r\n"), out)
        self.assertEqual(status, 1)


if __name__ == "__main__":
    for name, path in (("DBCSPRINT_EXE", DBCSPRINT_EXE), ("LIST_PRINTERS_EXE", LIST_PRINTERS_EXE)):
        if not os.path.exists(path):
            sys.exit(f"{name} must name the program")
    unittest.main()
