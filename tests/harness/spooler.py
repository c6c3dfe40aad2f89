"""A private CUPS spooler and a capture printer, for tests and for printing
the test page on a machine without a printer of its own.

The spooler is a real cupsd in the foreground, with its own ServerRoot and
spool in a temporary folder, listening on a unix socket only. The capture
printer is an AppSocket (raw TCP) listener on an ephemeral loopback port
that saves each job it receives to a file; a queue reaches it through CUPS's
own socket backend, as it would a network printer.

    with PrivateSpooler() as spooler:
        printer = spooler.add_capture_queue("capture", default=True)
        subprocess.run(["dbcsprint"], env=spooler.env)
        job = printer.wait_for_jobs(1)[0]

A raw queue passes the document on as it is. A PPD queue (add_ppd_queue)
and a driverless queue (add_everywhere_queue) convert it as a user's queue
does, through the filters of cups-filters and Ghostscript: cupsd finds them
where the packages put them (its default DataDir and ServerBin), and runs
them as lp, which must be able to enter every folder on the way to the
spooler's files (the spooler's folder is made readable for that).
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from harness.processes import free_port, stop_process

RAW_FILES = ("raw.types", "raw.convs")  # let raw queues take any document
CUPSD_CANDIDATES = ("/usr/sbin/cupsd", "/usr/bin/cupsd")


class CapturePrinter:
    """An AppSocket printer on 127.0.0.1 that saves each job to a file."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self._count = 0
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return  # closed
            with connection:
                data = bytearray()
                while True:
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            with self._lock:
                self._count += 1
                path = os.path.join(self.folder, f"job-{self._count}")
            # Written whole, then renamed: a job file that exists is complete.
            with open(path + ".part", "wb") as job:
                job.write(data)
            os.rename(path + ".part", path)

    def jobs(self):
        """Paths of the jobs received so far, in order of arrival."""
        names = [n for n in os.listdir(self.folder) if n.startswith("job-") and "." not in n]
        return [os.path.join(self.folder, n) for n in sorted(names, key=lambda n: int(n[4:]))]

    def wait_for_jobs(self, count, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            jobs = self.jobs()
            if len(jobs) >= count:
                return jobs
            time.sleep(0.05)
        raise TimeoutError(f"the capture printer received {len(self.jobs())} jobs, not {count}")

    def close(self):
        # shutdown wakes the accept() that close() alone would leave waiting.
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._thread.join(timeout=5)


class PrivateSpooler:
    """A cupsd of our own, on a unix socket in a temporary folder."""

    def __init__(self, keep=False, tcp=False):
        """With tcp, the spooler also listens on a loopback port, its
        address in self.tcp ("127.0.0.1:PORT")."""
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="dbcsprint-spooler-")
        self.socket = os.path.join(self.root, "cups.sock")
        self.tcp = f"127.0.0.1:{free_port()}" if tcp else None
        self._printers = []
        self._process = None
        self._stopped = False
        try:
            self._configure()
            self._start()
        except BaseException:
            self.stop()
            raise

    # The environment for clients of this spooler only: the server's
    # socket, and no user's or system's lpoptions or client.conf.
    @property
    def env(self):
        env = dict(os.environ)
        for name in ("LPDEST", "PRINTER"):
            env.pop(name, None)
        env["CUPS_SERVER"] = self.socket
        env["CUPS_SERVERROOT"] = os.path.join(self.root, "client")
        env["HOME"] = os.path.join(self.root, "home")
        return env

    def _configure(self):
        os.chmod(self.root, 0o755)
        for sub in ("conf", "spool", "cache", "state", "tmp", "log", "client", "home"):
            os.makedirs(os.path.join(self.root, sub))
        as_root = os.geteuid() == 0
        if as_root:
            # cupsd refuses to run its backends as root; they run as lp.
            import grp
            lp = grp.getgrnam("lp").gr_gid
            for sub in ("spool", "cache", "state", "tmp"):
                os.chown(os.path.join(self.root, sub), 0, lp)
                os.chmod(os.path.join(self.root, sub), 0o775)
        conf = os.path.join(self.root, "conf")
        for name in RAW_FILES:
            for folder in ("/etc/cups", "/usr/share/cups/mime"):
                if os.path.exists(os.path.join(folder, name)):
                    shutil.copy(os.path.join(folder, name), conf)
                    break
            else:
                raise RuntimeError(f"no {name} on this machine: install the cups package")
        user = "User lp\nGroup lp\nSystemGroup root\n" if as_root else ""
        with open(os.path.join(conf, "cups-files.conf"), "w") as files:
            files.write(
                f"ServerRoot {conf}\n"
                f"RequestRoot {self.root}/spool\n"
                f"CacheDir {self.root}/cache\n"
                f"StateDir {self.root}/state\n"
                f"TempDir {self.root}/tmp\n"
                f"ErrorLog {self.root}/log/error_log\n"
                f"AccessLog {self.root}/log/access_log\n"
                f"PageLog {self.root}/log/page_log\n"
                f"{user}")
        with open(os.path.join(conf, "cupsd.conf"), "w") as daemon:
            daemon.write(
                f"Listen {self.socket}\n"
                + (f"Listen {self.tcp}\n" if self.tcp else "") +
                "LogLevel debug\n"
                "AccessLogLevel all\n"
                "Browsing No\n"
                "WebInterface No\n"
                "DefaultAuthType None\n"
                "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n"
                # Queues that want a user name and password to take a job.
                "<Policy authenticated>\n"
                "  <Limit Create-Job Print-Job Print-URI Validate-Job>\n"
                "    AuthType Basic\n    Require valid-user\n    Order deny,allow\n  </Limit>\n"
                "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")

    def _start(self):
        cupsd = next((c for c in CUPSD_CANDIDATES if os.path.exists(c)), shutil.which("cupsd"))
        if cupsd is None:
            raise RuntimeError("no cupsd on this machine: install the cups package")
        conf = os.path.join(self.root, "conf")
        self._output = open(os.path.join(self.root, "log", "cupsd.out"), "wb")
        self._process = subprocess.Popen(
            [cupsd, "-f", "-c", os.path.join(conf, "cupsd.conf"),
             "-s", os.path.join(conf, "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=self._output, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(f"cupsd ended at once:\n{self.log()}")
            if self._accepts():
                return
            time.sleep(0.05)
        raise RuntimeError(f"cupsd did not open {self.socket}:\n{self.log()}")

    def _accepts(self):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(self.socket)
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def log(self):
        text = ""
        for name in ("cupsd.out", "error_log"):
            path = os.path.join(self.root, "log", name)
            if os.path.exists(path):
                with open(path, errors="replace") as log:
                    text += log.read()[-4000:]
        return text

    def error_log(self):
        """The lines of cupsd's error log so far."""
        path = os.path.join(self.root, "log", "error_log")
        if not os.path.exists(path):
            return []
        with open(path, errors="replace") as log:
            return log.read().splitlines()

    def run(self, *command):
        """Runs an administration command against this spooler."""
        done = subprocess.run(list(command), env=self.env, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)}: {done.stderr.strip()}")
        return done.stdout

    def add_capture_queue(self, name, default=False, policy=None):
        """A raw queue whose jobs reach a new capture printer; with policy
        "authenticated", it takes jobs only from a user who gives a password."""
        printer = self._capture_printer(name)
        options = ["-o", f"printer-op-policy={policy}"] if policy else []
        self._add_queue(name, f"socket://127.0.0.1:{printer.port}", default, *options)
        return printer

    def _capture_printer(self, name):
        printer = CapturePrinter(os.path.join(self.root, "captured", name))
        self._printers.append(printer)
        return printer

    def _add_queue(self, name, uri, default, *arguments):
        self.run("lpadmin", "-p", name, "-E", "-v", uri, *arguments)
        if default:
            self.run("lpadmin", "-d", name)

    def requests(self):
        """Every request the spooler logged so far, in order, as (method,
        resource, operation): operation is the IPP operation of a POST,
        "-" for other methods."""
        found = []
        path = os.path.join(self.root, "log", "access_log")
        if os.path.exists(path):
            with open(path, errors="replace") as log:
                for line in log:
                    # host - user [date zone] "METHOD resource HTTP/1.1" status bytes operation status
                    match = re.search(r'"(\S+) (\S+) HTTP/[\d.]+" \d+ \S+ (\S+)', line)
                    if match:
                        found.append(match.groups())
        return found

    def add_everywhere_queue(self, name, printer, default=False):
        """A driverless queue for an IPP Everywhere printer (such as an
        IppEverywherePrinter): cupsd asks the printer what it supports and
        makes the queue's PPD from the answer, as lpadmin -m everywhere
        does for a network printer. Returns the printer."""
        self._add_queue(name, printer.uri, default, "-m", "everywhere")
        return printer

    def add_ppd_queue(self, name, model, default=False, options=None):
        """A queue with a printer driver, whose jobs reach a new capture
        printer through CUPS's filters: model is a PPD as lpinfo -m names it
        (e.g. "drv:///sample.drv/generic.ppd" for Generic PostScript, or
        "drv:///cupsfilters.drv/pwgrast.ppd" for a PWG raster printer), and
        options the PPD defaults to set (e.g. {"Resolution": "300dpi"}).
        Returns the capture printer."""
        printer = self._capture_printer(name)
        arguments = ["-m", model]
        for option, value in (options or {}).items():
            arguments += ["-o", f"{option}={value}"]
        # snmp=false: without it, the socket backend first spends seconds
        # asking the printer for its supply levels over SNMP.
        self._add_queue(name, f"socket://127.0.0.1:{printer.port}/?snmp=false", default, *arguments)
        return printer

    def models(self):
        """The printer models (PPDs) this spooler can make queues with, as
        {name: description}, from lpinfo -m."""
        found = {}
        for line in self.run("lpinfo", "-m").splitlines():
            model, _, description = line.partition(" ")
            found[model] = description
        return found

    def completed_jobs(self):
        """What the spooler's page log says of each job it completed, by job
        identifier: (job-name, media)."""
        jobs = {}
        path = os.path.join(self.root, "log", "page_log")
        if os.path.exists(path):
            with open(path, errors="replace") as log:
                for line in log:
                    # printer user job-id [date zone] total pages billing host job-name media sides
                    fields = line.split()
                    if len(fields) >= 11:
                        jobs[int(fields[2])] = (fields[9], fields[10])
        return jobs

    def job_names(self):
        """The name of each job the spooler completed, by job identifier."""
        return {job: name for job, (name, _) in self.completed_jobs().items()}

    def job_media(self):
        """The media of each job the spooler completed, by job identifier."""
        return {job: media for job, (_, media) in self.completed_jobs().items()}

    def wait_for_job_named(self, name, timeout=30):
        """Whether the spooler completes a job of that name in time."""
        deadline = time.monotonic() + timeout
        while name not in self.job_names().values():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def stop(self):
        if self._stopped:
            return
        self._stopped = True
        stop_process(self._process)
        if self._process is not None:
            self._output.close()
        for printer in self._printers:
            printer.close()
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
