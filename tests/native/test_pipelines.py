"""dbcsprint through the print pipelines users have, end to end: driverless
IPP Everywhere queues (ippeveprinter printers) and PPD queues through
cups-filters, each page read back by tools/pagecheck.py from whatever
reached the printer (PDF, PostScript or PWG raster), which must show it at
1:1 on the media the job printed on: 16 cells in, 2 then 4 cells apart,
lines 10, 12 and 14 cells down, at the printer's own resolution.

DBCSPRINT names the program under test.
"""

import contextlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, TESTS)
from harness.ipp_everywhere import IppEverywherePrinter  # noqa: E402
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.transcripts import FULL_PAGE, native_entry, transcript  # noqa: E402

DBCSPRINT = os.environ.get("DBCSPRINT", "")
PAGECHECK = os.path.join(TESTS, "..", "tools", "pagecheck.py")
A4, LETTER = "iso_a4_210x297mm", "na_letter_8.5x11in"
POSTSCRIPT, PWG_RASTER = "drv:///sample.drv/generic.ppd", "drv:///cupsfilters.drv/pwgrast.ppd"

# Each pipeline: the queue (a driverless one for an IPP printer with the
# formats and defaults given, or a PPD queue with its defaults), the user's
# lpoptions lines, the destination the user prints to, and what must arrive:
# the format, the media (and the job's media value where it is the user's
# own spelling of it) and the resolution the page is checked at.
PIPELINES = [
    dict(name="driverless PWG raster, Letter, 600 dpi",
         ipp=dict(formats=["image/pwg-raster"], media=LETTER, dpi=600),
         arrives="pwg-raster", media=LETTER, dpi=600),
    dict(name="driverless PDF and PWG raster, A4, 600 dpi",
         ipp=dict(formats=["application/pdf", "image/pwg-raster"], media=A4, dpi=600),
         arrives="pdf", media=A4, dpi=600),
    dict(name="driverless PWG raster, A4, 300 dpi",
         ipp=dict(formats=["image/pwg-raster"], media=A4, dpi=300),
         arrives="pwg-raster", media=A4, dpi=300),
    dict(name="the user's lpoptions media A4 on a Letter printer",
         ipp=dict(formats=["image/pwg-raster"], media=LETTER, dpi=300),
         lpoptions=["-p", "office", "-o", "media=A4"],
         arrives="pwg-raster", media=A4, logged="A4", dpi=300),
    # Ghostscript's CUPS raster device puts an A4 page at 600 dpi (7015.75
    # rows) one row lower than the page itself, for lp's page alike: A4 at
    # 600 dpi is read back here where it arrives as PDF.
    dict(name="an instance with its own options as the default",
         ipp=dict(formats=["application/pdf", "image/pwg-raster"], media=LETTER, dpi=600),
         lpoptions=["-p", "office/a4", "-o", "media=iso_a4_210x297mm"],
         default="office/a4", arrives="pdf", media=A4, dpi=600),
    dict(name="PPD Generic PostScript, Letter",
         ppd=POSTSCRIPT, arrives="postscript", media=LETTER, dpi=300),
    dict(name="PPD Generic PostScript, A4",
         ppd=POSTSCRIPT, options={"PageSize": "A4"}, arrives="postscript", media=A4, dpi=300),
    dict(name="PPD PWG raster, 600 dpi",
         ppd=PWG_RASTER, arrives="pwg-raster", media=LETTER, dpi=600),
    dict(name="PPD PWG raster, A4, 300 dpi",
         ppd=PWG_RASTER, options={"PageSize": "A4", "Resolution": "300dpi"},
         arrives="pwg-raster", media=A4, dpi=300),
]


def pagecheck(path, media, dpi, outline_font):
    command = [sys.executable, PAGECHECK, "--json", "--media", media, "--dpi", str(dpi), path]
    if outline_font:
        command.insert(2, "--require-outline-font")
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode == 2:
        raise AssertionError(f"pagecheck could not read {path}: {done.stderr}")
    return json.loads(done.stdout)


class PrintsAtOneToOne(unittest.TestCase):
    def print_through(self, pipeline):
        with contextlib.ExitStack() as stack:
            spooler = stack.enter_context(PrivateSpooler())
            home = stack.enter_context(tempfile.TemporaryDirectory())
            env = dict(spooler.env, HOME=home)
            if "ipp" in pipeline:
                printer = stack.enter_context(IppEverywherePrinter(**pipeline["ipp"]))
                spooler.add_everywhere_queue("office", printer, default=True)
                arrived = printer.wait_for_document
            else:
                capture = spooler.add_ppd_queue("office", pipeline["ppd"], default=True,
                                                options=pipeline.get("options"))
                arrived = lambda: capture.wait_for_jobs(1)[0]  # noqa: E731
            # A user's options live in that user's own HOME.
            if "lpoptions" in pipeline:
                subprocess.run(["lpoptions", *pipeline["lpoptions"]], env=env, check=True,
                               capture_output=True)
            if "default" in pipeline:
                subprocess.run(["lpoptions", "-d", pipeline["default"]], env=env, check=True,
                               capture_output=True)

            done = subprocess.run([DBCSPRINT], env=env, capture_output=True, timeout=120)
            device = pipeline.get("default", "office")
            self.assertEqual(done.stdout, transcript(*native_entry(device), *FULL_PAGE),
                             done.stderr)
            self.assertEqual(done.returncode, 0)
            path = arrived()
            # The job carried the page's media, as the spooler logged it.
            self.assertTrue(spooler.wait_for_job_named("Test"), spooler.job_names())
            self.assertIn(pipeline.get("logged", pipeline["media"]), spooler.job_media().values())
            return pagecheck(path, pipeline["media"], pipeline["dpi"],
                             pipeline["arrives"] == "postscript")

    def test_pipelines(self):
        for pipeline in PIPELINES:
            with self.subTest(pipeline["name"]):
                report = self.print_through(pipeline)
                self.assertEqual(report["format"], pipeline["arrives"])
                failed = [c for c in report["checks"] if not c["passed"]]
                self.assertEqual(failed, [], json.dumps(report, indent=1)[:3000])


if __name__ == "__main__":
    if not os.path.exists(DBCSPRINT):
        sys.exit("DBCSPRINT must name the program under test")
    unittest.main()
