"""A Wine prefix for running the Windows builds of dbcsprint against a
private spooler: a fresh one in a temporary folder, or a build's own, which
the tests CTest runs through tests/wine/wine_run.sh share.

    with WinePrefix(spooler.env) as wine:
        wine.register_printers(list_printers_exe)
        status, out, err = wine.run(dbcsprint_exe)

Each program runs under the loader of its kind (tests/wine/find_wine.sh):
wine64 for a 64-bit program, Debian's 32-bit loader for a 32-bit one. The
prefix, made by wine64, is WoW64 where wine32 is installed.

Where the kernel hands 32-bit x86 programs to qemu-i386 (binfmt_misc),
Wine's 32-bit startup reserves the address space above 2 GiB by halving
ranges down to 64 KiB, trusting the kernel's MAP_FIXED_NOREPLACE to refuse
each taken range at once. Debian 12's qemu 7.2 takes that flag for a hint
and answers every step with a search of its own: some 65,000 calls, a
minute or more for each process. With QEMU_RESERVED_VA=0x80400000 the
guest has 2 GiB and the 4 MiB above it, where Wine puts its own 3 MiB page
table clear of the shared page at 0x7ffe0000; every futile step fails at
once and a process starts in seconds. A 32-bit Windows program that is not
large-address-aware never sees more than 2 GiB anyway.
"""

import fcntl
import os
import shutil
import subprocess
import tempfile

WINE_SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine")
QEMU_RESERVED_VA = "0x80400000"


def find_wine(program=None):
    """The loader that runs program (wine64 without one)."""
    command = [os.path.join(WINE_SCRIPTS, "find_wine.sh")] + ([program] if program else [])
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip())
    return done.stdout.strip()


def wineserver_of(wine64):
    for name in ("wineserver64", "wineserver"):
        path = os.path.join(os.path.dirname(wine64), name)
        if os.path.exists(path):
            return path
    return shutil.which("wineserver") or "wineserver"


class WinePrefix:
    """wineboot -i in a new prefix, or in root unless it is made already;
    code page 932; quiet; no Mono or Gecko. A persistent wineserver keeps
    Wine's services up between runs. A fresh prefix is removed on close, a
    shared one (root) only has its wineserver stopped."""

    def __init__(self, base_env, root=None):
        self.wine64 = find_wine()
        self.wineserver = wineserver_of(self.wine64)
        self.shared = root is not None
        self.root = os.path.abspath(root) if root else tempfile.mkdtemp(prefix="dbcsprint-wine-")
        self.env = dict(base_env)
        self.env.update(WINEPREFIX=self.root, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="ja_JP.UTF-8")
        self.env.setdefault("QEMU_RESERVED_VA", QEMU_RESERVED_VA)
        check = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
        if "ja_jp.utf8" not in check.split():
            raise RuntimeError("no ja_JP.UTF-8 locale: run scripts/setup.sh wine")
        try:
            os.makedirs(self.root, exist_ok=True)
            # Wine's own processes outlive the programs run here; none of them
            # may hold a pipe of ours, so they get no output to hold. The
            # server of a shared prefix's last user ends in a few seconds;
            # ours starts then.
            self._quietly([self.wineserver, "-w"], timeout=60)
            self._quietly([self.wineserver, "-p"], timeout=60)
            # A shared prefix is made once, under the lock wine_run.sh takes.
            with open(self.root + ".lock", "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                if not os.path.exists(os.path.join(self.root, "system.reg")):
                    self._quietly([self.wine64, "wineboot", "-i"], timeout=300)
        except BaseException:
            self.close()
            raise

    def _quietly(self, command, timeout):
        subprocess.run(command, env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    def command(self, program, *args):
        """The command line that runs a Windows program under its loader."""
        return [find_wine(program), program, *args]

    def run(self, program, *args, env=None, timeout=120):
        """Runs a Windows program; returns its status, stdout and stderr.
        Its output goes to files, which a lingering Wine process cannot hold
        open the way it could a pipe."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run(self.command(program, *args), env=env or self.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout)
            out.seek(0)
            err.seek(0)
            return done.returncode, out.read(), err.read()

    def register_printers(self, list_printers):
        """Has Wine take in the spooler's queues (and its default) as its
        printers, by loading the Windows spooler library; returns the list."""
        status, out, err = self.run(list_printers)
        if status != 0:
            raise RuntimeError(f"list_printers failed: {err!r}")
        return out.decode("latin-1")

    def close(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if not self.shared:
            shutil.rmtree(self.root, ignore_errors=True)
            if os.path.exists(self.root + ".lock"):
                os.remove(self.root + ".lock")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
