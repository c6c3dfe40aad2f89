"""A fresh Wine prefix in a temporary folder, for running the Windows build
of dbcsprint under Debian's wine64 against a private spooler.

    with WinePrefix(spooler.env) as wine:
        wine.register_printers(list_printers_exe)
        status, out, err = wine.run(dbcsprint_exe)
"""

import os
import shutil
import subprocess
import tempfile

WINE_SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine")


def find_wine64():
    done = subprocess.run([os.path.join(WINE_SCRIPTS, "find_wine64.sh")], capture_output=True, text=True)
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
    """wineboot -i in a new prefix; code page 932; quiet; no Mono or Gecko.
    A persistent wineserver keeps Wine's services up between runs."""

    def __init__(self, base_env):
        self.wine64 = find_wine64()
        self.wineserver = wineserver_of(self.wine64)
        self.root = tempfile.mkdtemp(prefix="dbcsprint-wine-")
        self.env = dict(base_env)
        self.env.update(WINEPREFIX=self.root, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="ja_JP.UTF-8")
        check = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
        if "ja_jp.utf8" not in check.split():
            raise RuntimeError("no ja_JP.UTF-8 locale: run scripts/setup.sh wine")
        try:
            # Wine's own processes outlive the programs run here; none of them
            # may hold a pipe of ours, so they get no output to hold.
            subprocess.run([self.wineserver, "-p"], env=self.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            subprocess.run([self.wine64, "wineboot", "-i"], env=self.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
        except BaseException:
            self.close()
            raise

    def run(self, program, *args, env=None, timeout=120):
        """Runs a Windows program; returns its status, stdout and stderr.
        Its output goes to files, which a lingering Wine process cannot hold
        open the way it could a pipe."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([self.wine64, program, *args], env=env or self.env,
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
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
