"""The Windows release: the zip CPack makes of the 32-bit build, and the
SHA-256 file beside it. The program in it must be the inspected product.

DBCSPRINT_ZIP names the zip; OBJDUMP the MinGW-w64 objdump inspect_pe.py
reads the program with.
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ROOT = os.path.join(TESTS, "..")
ZIP = os.environ.get("DBCSPRINT_ZIP", "")
OBJDUMP = os.environ.get("OBJDUMP", "objdump")

# What the zip holds, under one folder named as the zip: the program, and
# the repository's README and licence with Windows line ends.
TEXTS = [("README.txt", "README.md"), ("LICENSE.txt", "LICENSE")]
PROGRAM = "dbcsprint.exe"


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.basename(ZIP)[:-len(".zip")]
        with zipfile.ZipFile(ZIP) as archive:
            cls.members = {info.filename: archive.read(info) for info in archive.infolist()}

    def test_holds_the_program_and_its_texts_in_one_folder(self):
        self.assertEqual(set(self.members),
                         {f"{self.folder}/{name}" for name in [PROGRAM] + [t for t, _ in TEXTS]})

    def test_checksum_file_matches(self):
        with open(ZIP + ".sha256") as line:
            digest, name = line.read().split()
        self.assertEqual(name, os.path.basename(ZIP))
        with open(ZIP, "rb") as archive:
            self.assertEqual(digest, hashlib.sha256(archive.read()).hexdigest())

    def test_program_is_the_inspected_product(self):
        with tempfile.TemporaryDirectory() as folder:
            exe = os.path.join(folder, PROGRAM)
            with open(exe, "wb") as program:
                program.write(self.members[f"{self.folder}/{PROGRAM}"])
            done = subprocess.run([sys.executable, os.path.join(TESTS, "inspect_pe.py"),
                                   OBJDUMP, exe], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_texts_are_the_repository_files_with_windows_line_ends(self):
        for name, source in TEXTS:
            with self.subTest(name), open(os.path.join(ROOT, source), "rb") as original:
                expected = original.read().replace(b"\n", b"\r\n")
                self.assertEqual(self.members[f"{self.folder}/{name}"], expected)


if __name__ == "__main__":
    if not os.path.isfile(ZIP):
        sys.exit("DBCSPRINT_ZIP must name the release zip")
    unittest.main()
