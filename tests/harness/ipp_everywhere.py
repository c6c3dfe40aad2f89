"""An IPP Everywhere printer on a loopback port: CUPS's ippeveprinter, with
the document formats and defaults a test chooses, keeping every document it
receives. A private spooler's driverless queue reaches it as it would a
network printer (see PrivateSpooler.add_everywhere_queue).

    with IppEverywherePrinter(formats=["image/pwg-raster"],
                              media="iso_a4_210x297mm", dpi=300) as printer:
        spooler.add_everywhere_queue("office", printer)
        ...
        path = printer.wait_for_document()

ippeveprinter will not start without DNS-SD, which needs a D-Bus system bus
even when advertising is off: each printer has a dbus-daemon of its own, on
a unix socket in the printer's folder. Each document, once fully received,
is handed to received.sh, which keeps it and lets the job complete at once
(without a command, ippeveprinter "prints" by sleeping 5 to 15 seconds).
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

from harness.processes import free_port, stop_process

HARNESS = os.path.dirname(os.path.abspath(__file__))
KEEP_COMMAND = os.path.join(HARNESS, "received.sh")

# PWG self-describing media names and their size in hundredths of a millimetre.
MEDIA_SIZES = {
    "iso_a4_210x297mm": (21000, 29700),
    "na_letter_8.5x11in": (21590, 27940),
    "na_legal_8.5x14in": (21590, 35560),
    "iso_a5_148x210mm": (14800, 21000),
}
# Where no margins are asked for: a quarter inch all round, as many laser
# printers have.
DEFAULT_MARGIN = 635

DBUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""


def _media_col(name, margins, source=None, media_type=None):
    width, length = MEDIA_SIZES[name]
    members = [
        "MEMBER collection media-size {",
        f"  MEMBER integer x-dimension {width}",
        f"  MEMBER integer y-dimension {length}",
        "}",
        f"MEMBER integer media-bottom-margin {margins}",
        f"MEMBER integer media-left-margin {margins}",
        f"MEMBER integer media-right-margin {margins}",
        f"MEMBER integer media-top-margin {margins}",
    ]
    if source:
        members.append(f"MEMBER keyword media-source {source}")
    if media_type:
        members.append(f"MEMBER keyword media-type {media_type}")
    return "{\n  " + "\n  ".join(members) + "\n}"


def attributes(formats, media, dpi, margins=DEFAULT_MARGIN, raster_types=("black_1", "sgray_8"),
               supported_media=None):
    """The printer's attributes, in ippeveprinter's attributes-file syntax:
    a monochrome one-sided printer whose defaults are media and dpi."""
    supported = list(supported_media or MEDIA_SIZES)
    if media not in supported:
        supported.insert(0, media)
    pdf = "application/pdf" in formats
    lines = [
        # ippeveprinter takes no -f with -a; its own list comes after this
        # one, and the first of two attributes of a name is the one that
        # counts (for what it accepts and what clients see).
        "ATTR mimeMediaType document-format-supported " + ",".join(formats),
        "ATTR boolean color-supported false",
        "ATTR integer copies-default 1",
        f"ATTR rangeOfInteger copies-supported 1-{999 if pdf else 1}",
        "ATTR enum finishings-default 3",
        "ATTR enum finishings-supported 3",
        f"ATTR keyword media-default {media}",
        "ATTR keyword media-supported " + ",".join(supported),
        f"ATTR keyword media-ready {media}",
        "ATTR collection media-col-default " + _media_col(media, margins, "main", "stationery"),
        "ATTR collection media-col-ready " + _media_col(media, margins, "main", "stationery"),
        "ATTR collection media-col-database " + ",".join(_media_col(m, margins) for m in supported),
        "ATTR collection media-size-supported " + ",".join(
            "{{ MEMBER integer x-dimension {} MEMBER integer y-dimension {} }}".format(
                *MEDIA_SIZES[m]) for m in supported),
        f"ATTR integer media-bottom-margin-supported {margins}",
        f"ATTR integer media-left-margin-supported {margins}",
        f"ATTR integer media-right-margin-supported {margins}",
        f"ATTR integer media-top-margin-supported {margins}",
        "ATTR keyword media-source-supported auto,main",
        "ATTR keyword media-type-supported auto,stationery",
        "ATTR enum orientation-requested-default 3",
        "ATTR enum orientation-requested-supported " + ("3,4,5,6" if pdf else "3"),
        "ATTR keyword output-bin-default face-down",
        "ATTR keyword output-bin-supported face-down",
        f"ATTR boolean page-ranges-supported {'true' if pdf else 'false'}",
        "ATTR integer pages-per-minute 10",
        "ATTR keyword print-color-mode-default monochrome",
        "ATTR keyword print-color-mode-supported monochrome",
        "ATTR keyword print-content-optimize-default auto",
        "ATTR keyword print-content-optimize-supported auto",
        "ATTR enum print-quality-default 4",
        "ATTR enum print-quality-supported 3,4,5",
        "ATTR keyword print-rendering-intent-default auto",
        "ATTR keyword print-rendering-intent-supported auto",
        f"ATTR resolution printer-resolution-default {dpi}dpi",
        f"ATTR resolution printer-resolution-supported {dpi}dpi",
        'ATTR text printer-make-and-model "dbcsprint IPP Everywhere printer"',
        "ATTR keyword sides-default one-sided",
        "ATTR keyword sides-supported one-sided",
    ]
    commands = {"application/pdf": "PDF", "image/pwg-raster": "PWG", "image/urf": "URF",
                "application/postscript": "PS"}
    device_id = "MFG:dbcsprint;MDL:IPP Everywhere printer;CMD:" + ",".join(
        commands[f] for f in formats if f in commands) + ";"
    lines.append(f'ATTR text printer-device-id "{device_id}"')
    if "image/pwg-raster" in formats:
        lines += [f"ATTR resolution pwg-raster-document-resolution-supported {dpi}dpi",
                  "ATTR keyword pwg-raster-document-type-supported " + ",".join(raster_types)]
    if "image/urf" in formats:
        lines.append(f"ATTR keyword urf-supported V1.4,CP1,W8,RS{dpi},IS1,MT1-2,OB10")
    return "\n".join(lines) + "\n"


class IppEverywherePrinter:
    """ippeveprinter on localhost:PORT, with a dbus-daemon of its own.

    formats: the document formats it takes (MIME types), e.g.
      ["image/pwg-raster"] or ["application/pdf", "image/pwg-raster"];
    media: its default (and loaded) media, a PWG name from MEDIA_SIZES;
    dpi: its default (and only) resolution;
    margins: its media margins, in hundredths of a millimetre;
    raster_types: the PWG raster colour spaces and depths it takes, e.g.
      ["black_1"] (CUPS picks the best it can make of these).
    The printer's folder (root) is removed on stop unless keep is true.
    """

    def __init__(self, formats=("image/pwg-raster",), media="iso_a4_210x297mm", dpi=600,
                 margins=DEFAULT_MARGIN, raster_types=("black_1", "sgray_8"),
                 name="dbcsprint-printer", keep=False):
        if media not in MEDIA_SIZES:
            raise ValueError(f"unknown media {media!r}; known: {', '.join(MEDIA_SIZES)}")
        self.formats = list(formats)
        self.media = media
        self.dpi = dpi
        self.raster_types = list(raster_types)
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="dbcsprint-ippeve-")
        os.chmod(self.root, 0o755)
        self.spool = os.path.join(self.root, "spool")
        self.received = os.path.join(self.root, "received")
        os.makedirs(self.spool)
        os.makedirs(self.received)
        self.port = free_port()
        self.uri = f"ipp://localhost:{self.port}/ipp/print"
        self._taken = 0
        self._dbus = None
        self._process = None
        self._stopped = False
        try:
            self._start_dbus()
            self._start_printer(name, margins)
        except BaseException:
            self.stop()
            raise

    def _start_dbus(self):
        daemon = shutil.which("dbus-daemon") or "/usr/bin/dbus-daemon"
        if not os.path.exists(daemon):
            raise RuntimeError("no dbus-daemon on this machine: install the dbus-daemon package")
        bus = os.path.join(self.root, "system_bus_socket")
        config = os.path.join(self.root, "dbus.conf")
        with open(config, "w") as out:
            out.write(DBUS_CONFIG.format(socket=bus))
        self._dbus = subprocess.Popen(
            [daemon, f"--config-file={config}", "--nofork", "--nopidfile", "--nosyslog",
             "--print-address=1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # The address is printed once the bus listens.
        address = self._dbus.stdout.readline().decode().strip()
        self._dbus.stdout.close()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        self.bus_address = address

    def _start_printer(self, name, margins):
        program = shutil.which("ippeveprinter") or "/usr/sbin/ippeveprinter"
        if not os.path.exists(program):
            raise RuntimeError("no ippeveprinter on this machine: install cups-ipp-utils")
        attrs = os.path.join(self.root, "printer.attrs")
        with open(attrs, "w") as out:
            out.write(attributes(self.formats, self.media, self.dpi, margins, self.raster_types))
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_address
        env["DBCSPRINT_RECEIVED_DIR"] = self.received
        self._log = open(os.path.join(self.root, "ippeveprinter.log"), "wb")
        self._process = subprocess.Popen(
            [program, "-r", "off", "-n", "localhost", "-p", str(self.port),
             "-a", attrs, "-k", "-d", self.spool,
             "-c", KEEP_COMMAND, "-v", name],
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(f"ippeveprinter ended at once:\n{self.log()}")
            probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                probe.connect(("127.0.0.1", self.port))
                return
            except OSError:
                time.sleep(0.05)
            finally:
                probe.close()
        raise RuntimeError(f"ippeveprinter did not listen on port {self.port}:\n{self.log()}")

    def log(self):
        path = os.path.join(self.root, "ippeveprinter.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as log:
            return log.read()[-4000:]

    def documents(self):
        """Paths of the documents received whole so far, by job: each is
        named JOBID-JOBNAME.EXT, the extension after its format (pwg, urf,
        pdf...)."""
        names = [n for n in os.listdir(self.received) if not n.startswith(".")]
        names.sort(key=lambda n: int(n.split("-", 1)[0]))
        return [os.path.join(self.received, n) for n in names]

    def wait_for_document(self, timeout=60):
        """The path of the next document received whole (one this method has
        not returned before), once it has arrived."""
        deadline = time.monotonic() + timeout
        while True:
            documents = self.documents()
            if len(documents) > self._taken:
                self._taken += 1
                return documents[self._taken - 1]
            if time.monotonic() > deadline:
                raise TimeoutError(
                    f"the printer received no new document in {timeout} s:\n{self.log()}")
            if self._process.poll() is not None:
                raise RuntimeError(f"ippeveprinter ended:\n{self.log()}")
            time.sleep(0.05)

    def stop(self):
        if self._stopped:
            return
        self._stopped = True
        stop_process(self._process, timeout=10)
        if self._process is not None:
            self._log.close()
        stop_process(self._dbus, timeout=10)
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
