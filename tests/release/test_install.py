"""dbcsprint as installed on Linux: its manual page, and what cmake --install
puts where.

DBCSPRINT_BUILD names the native build folder to install from.
"""

import filecmp
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MANUAL = os.path.join(ROOT, "docs", "dbcsprint.1")
BUILD = os.environ.get("DBCSPRINT_BUILD", "")

# Each checker renders the page; any diagnostic on the stream named fails it.
# The last is how lintian checks manual pages.
CHECKERS = [
    ("mandoc", ["mandoc", "-Tlint", MANUAL], "stdout"),
    ("groff", ["groff", "-man", "-ww", "-z", "-Tutf8", MANUAL], "stderr"),
    ("man-db", ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", MANUAL], "stderr"),
]

# Report lines with a part of their own, as the manual page writes them.
VARIABLE_LINES = [
    (r"Device : .*", "Device : device"),
    (r"Driver : .*", "Driver : driver"),
    (r"Output : .*", "Output : output"),
    (r'print ".*"', 'print "text"'),
    (r"ExtTextOut\(\) : -?\d+ \(1:OK 0:NG\)", "ExtTextOut() : n (1:OK 0:NG)"),
]

# What cmake --install puts under its prefix, and where each comes from.
INSTALLED = {
    "bin/dbcsprint": None,
    "share/man/man1/dbcsprint.1": "docs/dbcsprint.1",
    "share/doc/dbcsprint/README.md": "README.md",
    "share/doc/dbcsprint/LICENSE": "LICENSE",
}


def report_lines():
    """Every line the scenarios expect on standard output: each path of the
    job, each line the tool can write."""
    lines = set()
    for scenario in glob.glob(os.path.join(ROOT, "tests", "scenarios", "*.scn")):
        with open(scenario, encoding="latin-1") as text:
            lines |= {line[3:].rstrip("\n") for line in text if line.startswith("#> ")}
    return lines


def rendered_manual():
    """The manual page as a terminal shows it, without bold or underlining."""
    out = subprocess.run(["mandoc", "-Tutf8", "-Owidth=200", MANUAL], check=True,
                         capture_output=True, text=True).stdout
    return {line.strip() for line in re.sub(".\b", "", out).splitlines()}


class ManualPage(unittest.TestCase):
    def test_renders_without_warnings(self):
        env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
        for name, command, stream in CHECKERS:
            with self.subTest(name):
                done = subprocess.run(command, env=env, capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertEqual(getattr(done, stream), "")

    def test_explains_every_line_of_the_report(self):
        shown = rendered_manual()
        for line in sorted(report_lines()):
            form = next((f for pattern, f in VARIABLE_LINES if re.fullmatch(pattern, line)), line)
            with self.subTest(line):
                self.assertTrue(form in shown, f"the manual page does not explain {form!r}")


class InstallRules(unittest.TestCase):
    def test_installs_the_program_and_its_documents_only(self):
        with tempfile.TemporaryDirectory() as prefix:
            done = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            found = {os.path.relpath(os.path.join(folder, name), prefix)
                     for folder, _, names in os.walk(prefix) for name in names}
            self.assertEqual(found, set(INSTALLED))
            for path, source in INSTALLED.items():
                with self.subTest(path):
                    installed = os.path.join(prefix, path)
                    if source is None:
                        self.assertTrue(os.access(installed, os.X_OK))
                    else:
                        self.assertTrue(filecmp.cmp(installed, os.path.join(ROOT, source),
                                                    shallow=False))


if __name__ == "__main__":
    if not os.path.isdir(BUILD):
        sys.exit("DBCSPRINT_BUILD must name the native build folder")
    unittest.main()
