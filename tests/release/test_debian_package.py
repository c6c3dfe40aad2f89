"""The Debian package, end to end: built by scripts/package.sh from a clean
copy of the committed tree (a git archive of HEAD: uncommitted changes are
not in it), checked by lintian, installed with apt-get, run against a
private spooler, and removed without a trace.

Installing touches the whole machine, so one run at a time holds a lock,
and the install is refused, loudly, where the machine has a dbcsprint of its
own (the package, or a file the package would install): the script then
exits 77, which CTest reports as skipped. Where CI is set, a refusal fails.
"""

import fcntl
import glob
import io
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import unittest

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ROOT = os.path.join(TESTS, "..")
sys.path.insert(0, TESTS)
from harness.spooler import PrivateSpooler  # noqa: E402
from harness.transcripts import FULL_PAGE, native_entry, transcript  # noqa: E402

LOCK = "/run/lock/dbcsprint-package-test.lock"
PROGRAM = "/usr/bin/dbcsprint"
MANUAL = "/usr/share/man/man1/dbcsprint.1.gz"
AS_ROOT = [] if os.geteuid() == 0 else ["sudo", "-n"]
APT = AS_ROOT + ["env", "DEBIAN_FRONTEND=noninteractive",
                 "apt-get", "-o", "DPkg::Lock::Timeout=600", "-y", "-q"]

# Every file the package holds: the program and its documents, nothing else.
CONTENTS = {
    PROGRAM,
    MANUAL,
    "/usr/share/doc/dbcsprint/README.md.gz",
    "/usr/share/doc/dbcsprint/changelog.gz",
    "/usr/share/doc/dbcsprint/copyright",
    "/usr/share/lintian/overrides/dbcsprint",
}

# A package each relationship field must name: the libraries the program
# links (from the shared-library dependencies) and a Japanese font.
RELATIONS = [
    ("Depends", "libc6"),
    ("Depends", "libcups2"),
    ("Depends", "libcairo2"),
    ("Depends", "libfontconfig1"),
    ("Recommends", "fonts-ipafont-gothic"),
]


def run(*command, **options):
    return subprocess.run(list(command), capture_output=True, text=True, **options)


def package_state():
    """dpkg's state of the package ("ii", "rc", ...), or "" where it has none."""
    done = run("dpkg-query", "-W", "-f=${db:Status-Abbrev}", "dbcsprint")
    state = done.stdout.strip() if done.returncode == 0 else ""
    return "" if state[1:2] in ("", "n") else state


def man_path():
    env = {k: v for k, v in os.environ.items() if k != "MANPATH"}
    return run("man", "-w", "dbcsprint", env=dict(env, LC_ALL="C.UTF-8"))


def deb_tree(deb):
    """The files and the folders the package holds, as absolute paths."""
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], check=True,
                          capture_output=True).stdout
    files, folders = set(), set()
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        for member in archive.getmembers():
            path = os.path.normpath("/" + member.name)
            if path != "/":
                (folders if member.isdir() else files).add(path)
    return files, folders


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dbcsprint-package-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        os.chmod(cls.work, 0o755)  # apt reads the .deb as its own user
        out = os.path.join(cls.work, "out")
        log = os.path.join(cls.work, "build.log")
        with open(log, "w") as output:
            done = subprocess.run([os.path.join(ROOT, "scripts", "package.sh"), out],
                                  stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.STDOUT)
        if done.returncode != 0:
            with open(log) as output:
                raise RuntimeError("scripts/package.sh failed:\n" + output.read()[-6000:])
        [cls.deb] = glob.glob(os.path.join(out, "dbcsprint_*.deb"))
        [cls.changes] = glob.glob(os.path.join(out, "dbcsprint_*.changes"))
        cls.files, cls.folders = deb_tree(cls.deb)

    def test_lintian_reports_no_errors_or_warnings(self):
        # lintian advises against running as root; it needs only to read.
        as_user = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 else []
        done = run(*as_user, "lintian", "--fail-on", "error,warning", "--display-info",
                   "--show-overrides", self.changes)
        print(f"lintian {os.path.basename(self.changes)}:\n{done.stdout}{done.stderr}")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        tagged = [line for line in done.stdout.splitlines() if line[:3] in ("E: ", "W: ")]
        self.assertEqual(tagged, [])

    def test_relationships(self):
        fields = {}
        for name in {field for field, _ in RELATIONS}:
            fields[name] = run("dpkg-deb", "-f", self.deb, name).stdout.strip()
            print(f"{name}: {fields[name]}")
        for field, package in RELATIONS:
            with self.subTest(f"{field}: {package}"):
                named = [alternative.split()[0] for relation in fields[field].split(",")
                         for alternative in relation.split("|") if alternative.strip()]
                self.assertIn(package, named)

    def test_holds_the_program_and_its_documents_only(self):
        self.assertEqual(self.files, CONTENTS)

    def test_installs_runs_and_removes_without_a_trace(self):
        with open(LOCK, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            refusal = self.machine_has_its_own()
            if refusal:
                message = f"NOT INSTALLING the package: {refusal}; remove it to run this test"
                if os.environ.get("CI"):
                    self.fail(message)
                print(message, file=sys.stderr)
                self.skipTest(message)

            folders_before = {path for path in self.folders if os.path.isdir(path)}
            try:
                done = run(*APT, "install", "./" + os.path.basename(self.deb),
                           cwd=os.path.dirname(self.deb))
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.check_installed()
            finally:
                removal = self.remove()
            self.assertIsNone(removal)
            self.check_no_trace(folders_before)

    def machine_has_its_own(self):
        """Why the package may not be installed here, or None."""
        if package_state():
            return f"dpkg has dbcsprint ({package_state()})"
        present = sorted(path for path in self.files if os.path.lexists(path))
        return f"already on this machine: {', '.join(present)}" if present else None

    def check_installed(self):
        with self.subTest("dpkg lists the package's files"):
            listed = run("dpkg", "-L", "dbcsprint").stdout.split()
            self.assertEqual({path for path in listed if not os.path.isdir(path)}, self.files)
        with self.subTest("man finds its page"):
            self.assertEqual(man_path().stdout.strip(), MANUAL)
        with self.subTest("the installed program prints the page"), PrivateSpooler() as spooler:
            printer = spooler.add_capture_queue("capture", default=True)
            done = subprocess.run([PROGRAM], env=spooler.env, capture_output=True, timeout=120)
            self.assertEqual(done.stdout, transcript(*native_entry("capture"), *FULL_PAGE),
                             done.stderr)
            self.assertEqual(done.returncode, 0)
            [job] = printer.wait_for_jobs(1)
            text = run("pdftotext", job, "-").stdout
            self.assertEqual("".join(text.split()), "壱弐弐参参参")

    def remove(self):
        """Removes the package, purging it if a removal leaves it behind;
        returns what went wrong, or None."""
        done = run(*APT, "remove", "dbcsprint")
        if not package_state():
            return None if done.returncode == 0 else done.stdout + done.stderr
        left = package_state()
        run(*AS_ROOT, "dpkg", "--purge", "dbcsprint")
        return f"apt-get remove left the package as {left}: {done.stdout}{done.stderr}"

    def check_no_trace(self, folders_before):
        self.assertEqual(package_state(), "")
        self.assertEqual(sorted(path for path in self.files if os.path.lexists(path)), [])
        self.assertEqual(sorted(path for path in self.folders - folders_before
                                if os.path.lexists(path)), [])
        self.assertNotEqual(man_path().returncode, 0)


if __name__ == "__main__":
    # A stopped run still removes what it installed.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    result = unittest.main(exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if result.skipped else 0)
