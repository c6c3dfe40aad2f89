"""A fault-injecting proxy between CUPS clients and a private spooler.

The proxy listens on a unix socket of its own and forwards every HTTP
request it receives to the spooler's socket, one request and its answer at
a time on each persistent connection, and the answers back. It counts the
requests of all its connections in the order they arrive (1, 2, 3, ...)
and records what each was and what became of it. Exactly one request, the
one chosen by `at`, gets the fault; every other passes untouched, so that a
client's own recovery (cancelling its job, say) reaches the spooler.

    with PrivateSpooler() as spooler:
        printer = spooler.add_capture_queue("capture", default=True)
        with FaultProxy(spooler.socket, fault="lose-answer", at="Send-Document") as proxy:
            env = dict(spooler.env, CUPS_SERVER=proxy.socket)
            subprocess.run(["dbcsprint"], env=env, timeout=70)
        print(proxy.log())

Faults:

    close         the request is read whole and not forwarded; the client's
                  connection is closed without an answer
    error         the request is read whole and not forwarded; the client gets
                  an IPP answer with an error status (HTTP 200), carrying the
                  request's request-id, charset and natural language
    stall         the request is read whole and not forwarded; no answer ever
                  comes, and the connection stays open until the proxy stops
    lose-answer   the request is forwarded and the spooler's whole answer
                  read; the client's connection is closed without it
    stall-answer  the request is forwarded and the spooler's answer
                  swallowed; the connection stays open until the proxy stops

`at` is a request number (3), an operation name (the first "Send-Document")
or an operation and which of them (("Get-Job-Attributes", 2)). Without a
fault the proxy only passes everything on and records it.

The framing is HTTP/1.1's: bodies by Content-Length or chunked (forwarded
as they arrive, chunk framing and all), Expect: 100-continue, interim 1xx
answers, and connections that end when either side ends them: a
connection's link to the spooler lives as long as the client's, so a
401 challenge and the client's retry on a new connection, or the spooler
closing a connection, reach the other side as they would without the
proxy. Over a unix socket cupsd authenticates the peer's uid (PeerCred);
the proxy has the client's uid when both are run by the same user.
"""

import os
import select
import shutil
import socket
import struct
import tempfile
import threading
import time

FAULTS = ("close", "error", "stall", "lose-answer", "stall-answer")
_NOT_FORWARDED = ("close", "error", "stall")

OPERATIONS = {
    0x0002: "Print-Job", 0x0003: "Print-URI", 0x0004: "Validate-Job", 0x0005: "Create-Job",
    0x0006: "Send-Document", 0x0007: "Send-URI", 0x0008: "Cancel-Job",
    0x0009: "Get-Job-Attributes", 0x000A: "Get-Jobs", 0x000B: "Get-Printer-Attributes",
    0x000C: "Hold-Job", 0x000D: "Release-Job", 0x000E: "Restart-Job",
    0x0010: "Pause-Printer", 0x0011: "Resume-Printer", 0x0012: "Purge-Jobs",
    0x0013: "Set-Printer-Attributes", 0x0014: "Set-Job-Attributes",
    0x0015: "Get-Printer-Supported-Values", 0x0016: "Create-Printer-Subscriptions",
    0x0017: "Create-Job-Subscriptions", 0x0018: "Get-Subscription-Attributes",
    0x0019: "Get-Subscriptions", 0x001A: "Renew-Subscription", 0x001B: "Cancel-Subscription",
    0x001C: "Get-Notifications", 0x0022: "Enable-Printer", 0x0023: "Disable-Printer",
    0x0038: "Cancel-Jobs", 0x0039: "Cancel-My-Jobs", 0x003A: "Resubmit-Job",
    0x003B: "Close-Job", 0x003C: "Identify-Printer",
    0x4001: "CUPS-Get-Default", 0x4002: "CUPS-Get-Printers", 0x4003: "CUPS-Add-Modify-Printer",
    0x4004: "CUPS-Delete-Printer", 0x4005: "CUPS-Get-Classes", 0x4006: "CUPS-Add-Modify-Class",
    0x4007: "CUPS-Delete-Class", 0x4008: "CUPS-Accept-Jobs", 0x4009: "CUPS-Reject-Jobs",
    0x400A: "CUPS-Set-Default", 0x400B: "CUPS-Get-Devices", 0x400C: "CUPS-Get-PPDs",
    0x400D: "CUPS-Move-Job", 0x400E: "CUPS-Authenticate-Job", 0x400F: "CUPS-Get-PPD",
    0x4027: "CUPS-Get-Document",
}

STATUSES = {
    0x0000: "successful-ok", 0x0001: "successful-ok-ignored-or-substituted-attributes",
    0x0002: "successful-ok-conflicting-attributes",
    0x0400: "client-error-bad-request", 0x0401: "client-error-forbidden",
    0x0402: "client-error-not-authenticated", 0x0403: "client-error-not-authorized",
    0x0404: "client-error-not-possible", 0x0405: "client-error-timeout",
    0x0406: "client-error-not-found", 0x0407: "client-error-gone",
    0x0408: "client-error-request-entity-too-large", 0x0409: "client-error-request-value-too-long",
    0x040A: "client-error-document-format-not-supported",
    0x040B: "client-error-attributes-or-values-not-supported",
    0x040C: "client-error-uri-scheme-not-supported", 0x040D: "client-error-charset-not-supported",
    0x040E: "client-error-conflicting-attributes", 0x040F: "client-error-compression-not-supported",
    0x0410: "client-error-compression-error", 0x0411: "client-error-document-format-error",
    0x0412: "client-error-document-access-error",
    0x0500: "server-error-internal-error", 0x0501: "server-error-operation-not-supported",
    0x0502: "server-error-service-unavailable", 0x0503: "server-error-version-not-supported",
    0x0504: "server-error-device-error", 0x0505: "server-error-temporary-error",
    0x0506: "server-error-not-accepting-jobs", 0x0507: "server-error-busy",
    0x0508: "server-error-job-canceled",
    0x0509: "server-error-multiple-document-jobs-not-supported",
}

_HEAD_LIMIT = 64 * 1024  # longer request or status heads are not HTTP we speak
_KEPT_BODY = 64 * 1024  # of a request not forwarded, what is kept to answer it from
_BODY_WAIT = 0.5  # how long a client that expects 100-continue may hold its body back
_CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


def operation_name(operation_id):
    return OPERATIONS.get(operation_id, f"operation-0x{operation_id:04x}")


def status_name(status_code):
    return STATUSES.get(status_code, f"status-0x{status_code:04x}")


class _Broken(Exception):
    """The peer broke HTTP's framing or ended the connection mid-message."""


class _Stream:
    """A socket read through a buffer, as HTTP messages."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = bytearray()

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except OSError:
            data = b""
        self.buffer += data
        return bool(data)

    def has_data(self, timeout):
        """Whether bytes are waiting, or come within timeout seconds."""
        if self.buffer:
            return True
        try:
            return bool(select.select([self.sock], [], [], timeout)[0])
        except (OSError, ValueError):
            return True  # closed: the read that follows finds out

    def read_head(self):
        """A message's start line and header fields, through the empty line;
        None when the connection ends between messages."""
        while True:
            while self.buffer[:2] == b"\r\n":  # stray line ends between messages
                del self.buffer[:2]
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                head = bytes(self.buffer[:end + 4])
                del self.buffer[:end + 4]
                return head
            if len(self.buffer) > _HEAD_LIMIT:
                raise _Broken("a message head longer than the proxy takes")
            if not self._fill():
                if self.buffer:
                    raise _Broken("the connection ended in a message head")
                return None

    def _line(self):
        while True:
            end = self.buffer.find(b"\n")
            if end >= 0:
                line = bytes(self.buffer[:end + 1])
                del self.buffer[:end + 1]
                return line
            if len(self.buffer) > _HEAD_LIMIT:
                raise _Broken("a chunk line longer than the proxy takes")
            if not self._fill():
                raise _Broken("the connection ended in a chunk line")

    def _exactly(self, count):
        """Yields the next count bytes as they arrive."""
        while count:
            if not self.buffer and not self._fill():
                raise _Broken("the connection ended in a message body")
            piece = bytes(self.buffer[:count])
            del self.buffer[:len(piece)]
            count -= len(piece)
            yield piece

    def body(self, framing):
        """Yields (raw, data) for the body framed as framing says, as it
        arrives: raw is the bytes on the wire (chunk lines and all), data
        what they carry of the body itself."""
        kind, length = framing
        if kind == "length":
            for piece in self._exactly(length):
                yield piece, piece
        elif kind == "chunked":
            while True:
                line = self._line()
                try:
                    size = int(line.split(b";")[0].strip(), 16)
                except ValueError:
                    raise _Broken(f"a chunk line that is no size: {line!r}") from None
                if size == 0:
                    while True:  # trailer fields, through the empty line
                        field = self._line()
                        line += field
                        if field.strip() == b"":
                            break
                    yield line, b""
                    return
                yield line, b""
                for piece in self._exactly(size):
                    yield piece, piece
                yield b"".join(self._exactly(2)), b""
        elif kind == "close":
            while self.buffer or self._fill():
                piece = bytes(self.buffer)
                self.buffer.clear()
                yield piece, piece


def _parse_head(head):
    """(start line's words, {lower-case field name: value})."""
    lines = head.decode("latin-1").split("\r\n")
    start = lines[0].split(" ", 2)
    fields = {}
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            name = name.strip().lower()
            fields[name] = (fields[name] + ", " if name in fields else "") + value.strip()
    return start, fields


def _framing(fields, otherwise):
    """How a message's body ends, by its header fields: ("chunked", 0),
    ("length", N), or otherwise, which is ("length", 0) for a request and
    ("close", 0), the end of the connection, for an answer."""
    codings = [c.strip().lower() for c in fields.get("transfer-encoding", "").split(",")]
    if codings[-1] == "chunked":
        return "chunked", 0
    if "content-length" in fields:
        try:
            return "length", int(fields["content-length"])
        except ValueError:
            raise _Broken(f"a Content-Length that is no number: "
                          f"{fields['content-length']!r}") from None
    return otherwise


def _request_framing(fields):
    return _framing(fields, ("length", 0))


def _response_framing(fields, method, status):
    if status < 200 or status in (204, 304) or method == "HEAD":
        return "length", 0
    return _framing(fields, ("close", 0))


def _without_expect(head):
    lines = head.split(b"\r\n")
    return b"\r\n".join(line for line in lines if not line.lower().startswith(b"expect:"))


def _operation_attributes(message):
    """The values of the operation attributes of an IPP message, by name
    (first value only), as far as the message goes."""
    found = {}
    position = 8
    group = None
    name = None
    while position < len(message):
        tag = message[position]
        position += 1
        if tag == 0x03:  # end-of-attributes
            break
        if tag < 0x10:  # a group begins
            group = tag
            continue
        if position + 2 > len(message):
            break
        name_length = struct.unpack(">H", message[position:position + 2])[0]
        position += 2
        if name_length:
            name = message[position:position + name_length].decode("latin-1")
        position += name_length
        if position + 2 > len(message):
            break
        value_length = struct.unpack(">H", message[position:position + 2])[0]
        position += 2
        value = message[position:position + value_length]
        position += value_length
        if group == 0x01 and name_length and name not in found:
            found[name] = value.decode("utf-8", "replace")
    return found


def _attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return (bytes([tag]) + struct.pack(">H", len(name)) + name
            + struct.pack(">H", len(value)) + value)


def ipp_error_answer(request, status_code, message):
    """An IPP answer to the IPP request (its first bytes will do) with
    status_code: the request's version and request-id, its charset and
    natural language, and a status-message."""
    version = request[:2] if len(request) >= 2 else b"\x02\x00"
    request_id = request[4:8] if len(request) >= 8 else b"\x00\x00\x00\x01"
    attributes = _operation_attributes(request)
    return (version + struct.pack(">H", status_code) + request_id + b"\x01"
            + _attribute(0x47, "attributes-charset", attributes.get("attributes-charset", "utf-8"))
            + _attribute(0x48, "attributes-natural-language",
                         attributes.get("attributes-natural-language", "en"))
            + _attribute(0x41, "status-message", message)
            + b"\x03")


class Request:
    """One request the proxy received, and what became of it."""

    def __init__(self, number, connection, method, resource, started):
        self.number = number  # 1, 2, 3, ... over all connections
        self.connection = connection  # 1, 2, 3, ... in the order clients connected
        self.method = method
        self.resource = resource
        self.operation = None  # the IPP operation's name, for IPP requests
        self.request_id = None
        self.framing = None  # "Content-Length: N", "chunked" or "no body"
        self.expect_continue = False  # the client sent Expect: 100-continue
        self.authorization = None  # the scheme of its Authorization field
        self.fault = None  # the fault it got, if it got one
        self.action = "reading"  # what the proxy did with it
        self.interim = []  # the 1xx answers the spooler sent the client
        self.http_status = None  # the answer's HTTP status
        self.status = None  # the answer's IPP status name, or "HTTP <code>"
        self.notes = []  # what went otherwise than planned
        self.started = started  # seconds since the proxy started
        self.finished = None
        self.done = threading.Event()  # the answer was dealt with

    @property
    def name(self):
        """The operation's name, or the method and resource of a non-IPP request."""
        return self.operation or f"{self.method} {self.resource}"

    def __str__(self):
        what = self.operation or "-"
        text = (f"{self.number:>3} [c{self.connection}] {self.method} {self.resource} {what}: "
                f"{self.action}")
        if self.status is not None:
            text += f" -> {self.status}"
        if self.notes:
            text += " (" + "; ".join(self.notes) + ")"
        return text

    __repr__ = __str__


class _Connection:
    """A client's connection and its own link to the spooler."""

    def __init__(self, number, client):
        self.number = number
        self.client = client
        self.client_stream = _Stream(client)
        self.upstream = None
        self.upstream_stream = None
        self.current = None  # the forwarded request whose answer is awaited
        self.stalled = False  # a fault keeps the connection open as it is
        self.relay_over = False  # no more answers come from the spooler
        self.lock = threading.Lock()  # one writer to the client at a time
        self.threads = []

    def send_client(self, data):
        with self.lock:
            try:
                self.client.sendall(data)
                return True
            except OSError:
                return False

    def end_client(self):
        _shut(self.client)

    def end(self):
        _shut(self.client)
        _shut(self.upstream)


def _shut(sock):
    """Ends both directions of sock, which wakes any thread reading it; its
    owner closes it."""
    if sock is None:
        return
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class FaultProxy:
    """A proxy on a unix socket in a temporary folder, to the spooler's
    unix socket, that faults one request; context manager."""

    def __init__(self, upstream, fault=None, at=None, error_status=0x0500):
        if fault is None and at is not None or fault is not None and at is None:
            raise ValueError("give both a fault and the request it hits, or neither")
        if fault is not None and fault not in FAULTS:
            raise ValueError(f"no such fault: {fault!r} (faults: {', '.join(FAULTS)})")
        if isinstance(at, str):
            at = (at, 1)
        if isinstance(at, tuple):
            if at[0] not in OPERATIONS.values():
                raise ValueError(f"no such operation: {at[0]!r}")
            if at[1] < 1:
                raise ValueError(f"operations are counted from 1: {at!r}")
        elif at is not None and (not isinstance(at, int) or at < 1):
            raise ValueError(f"requests are counted from 1: {at!r}")
        self.upstream = upstream
        self.fault = fault
        self.at = at
        self.error_status = error_status
        self._lock = threading.Lock()
        self._requests = []
        self._connections = []
        self._seen = 0  # requests of the operation `at` names, so far
        self._chosen = False
        self._faulted = None
        self._fault_done = threading.Event()
        self._stopping = threading.Event()
        self._stopped = False
        self._start = time.monotonic()
        self.folder = tempfile.mkdtemp(prefix="dbcsprint-proxy-")
        os.chmod(self.folder, 0o755)
        self.socket = os.path.join(self.folder, "proxy.sock")
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._listener.bind(self.socket)
            os.chmod(self.socket, 0o777)
            self._listener.listen(16)
        except BaseException:
            self._listener.close()
            shutil.rmtree(self.folder, ignore_errors=True)
            raise
        self._acceptor = threading.Thread(target=self._accept, name="proxy-accept", daemon=True)
        self._acceptor.start()

    # What tests read.

    @property
    def requests(self):
        """Every request so far, in the order they arrived."""
        with self._lock:
            return list(self._requests)

    @property
    def faulted(self):
        """The request that got the fault, once one has."""
        return self._faulted

    def wait_for_fault(self, timeout):
        """The faulted request once the fault has been carried out (the
        connection closed, the answer sent, the stall begun), or None when
        that takes longer than timeout seconds."""
        return self._faulted if self._fault_done.wait(timeout) else None

    def log(self):
        """The requests, one a line, for a failure message."""
        return "\n".join(str(request) for request in self.requests) or "(no requests)"

    # Connections.

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            if self._stopping.is_set():
                client.close()
                return
            with self._lock:
                connection = _Connection(len(self._connections) + 1, client)
                self._connections.append(connection)
            thread = threading.Thread(target=self._serve, args=(connection,),
                                      name=f"proxy-c{connection.number}", daemon=True)
            connection.threads.append(thread)
            thread.start()

    def _new_request(self, connection, head):
        (method, resource, *_), fields = _parse_head(head)
        with self._lock:
            request = Request(len(self._requests) + 1, connection.number, method, resource,
                              round(time.monotonic() - self._start, 3))
            self._requests.append(request)
        return request, fields

    def _choose(self, request):
        """The fault this request gets, if it is the one."""
        with self._lock:
            if self.fault is None or self._chosen:
                return None
            if isinstance(self.at, int):
                hit = request.number == self.at
            else:
                if request.operation == self.at[0]:
                    self._seen += 1
                hit = request.operation == self.at[0] and self._seen == self.at[1]
            if hit:
                self._chosen = True
                self._faulted = request
                request.fault = self.fault
                return self.fault
            return None

    def _finish(self, request, action):
        """Records what became of the request, before the client can see it."""
        request.action = action
        request.finished = round(time.monotonic() - self._start, 3)
        request.done.set()

    def _serve(self, connection):
        """Reads the client's requests one at a time and deals with each."""
        stream = connection.client_stream
        try:
            while not self._stopping.is_set():
                try:
                    head = stream.read_head()
                except _Broken:
                    break
                if head is None:
                    break
                try:
                    request, fields = self._new_request(connection, head)
                except ValueError:
                    break  # no request line
                if not self._handle(connection, request, head, fields):
                    break
        finally:
            connection.end()
            for thread in connection.threads[1:]:
                thread.join()
            connection.client.close()
            if connection.upstream is not None:
                connection.upstream.close()

    def _handle(self, connection, request, head, fields):
        """Deals with one request; False when the connection is over."""
        stream = connection.client_stream
        try:
            framing = _request_framing(fields)
        except _Broken as error:
            request.notes.append(str(error))
            self._finish(request, "client broke HTTP")
            return False
        request.framing = ("chunked" if framing[0] == "chunked" else
                           f"Content-Length: {framing[1]}" if framing[1] else "no body")
        request.expect_continue = fields.get("expect", "").lower() == "100-continue"
        if "authorization" in fields:
            request.authorization = fields["authorization"].split(" ", 1)[0]
        has_body = framing != ("length", 0)
        body = stream.body(framing)
        raw, data = [], bytearray()
        sent_continue = False
        try:
            if has_body:
                # libcups sends the IPP message before it waits for 100 Continue;
                # a client that waits first gets the proxy's own.
                if request.expect_continue and not stream.has_data(_BODY_WAIT):
                    sent_continue = connection.send_client(_CONTINUE)
                    request.notes.append("the proxy sent its own 100 Continue")
                for piece, carried in body:
                    raw.append(piece)
                    data += carried
                    if len(data) >= 8:
                        break
            ipp = fields.get("content-type", "").lower().startswith("application/ipp")
            if ipp and len(data) >= 8:
                operation_id, request_id = struct.unpack(">HI", bytes(data[2:8]))
                request.operation = operation_name(operation_id)
                request.request_id = request_id
            fault = self._choose(request)
            if fault in _NOT_FORWARDED:
                return self._answer_here(connection, request, fault, body, data,
                                         request.expect_continue and has_body and not sent_continue)
            return self._forward(connection, request, head, body, raw, sent_continue)
        except _Broken as error:
            request.notes.append(f"client: {error}")
            self._finish(request, "client ended the connection mid-request")
            return False

    def _answer_here(self, connection, request, fault, body, data, send_continue):
        """The faults that never reach the spooler: read the whole request,
        then close, answer with an error, or stall."""
        if send_continue:
            connection.send_client(_CONTINUE)
        for _, carried in body:
            if len(data) < _KEPT_BODY:
                data += carried
        if fault == "close":
            self._finish(request, "closed the connection unanswered")
            connection.end()
            self._fault_done.set()
            return False
        if fault == "error":
            if request.operation is not None:
                answer = ipp_error_answer(bytes(data), self.error_status,
                                          "The test proxy failed this request.")
                request.http_status = 200
                request.status = status_name(self.error_status)
                answer = (b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n"
                          b"Content-Length: %d\r\n\r\n" % len(answer) + answer)
            else:
                request.http_status = 500
                request.status = "HTTP 500"
                answer = b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"
            self._finish(request, "answered with an error")
            connection.send_client(answer)
            self._fault_done.set()
            return True
        connection.stalled = True
        self._finish(request, "stalled, never answered")
        self._fault_done.set()
        self._stopping.wait()
        return False

    def _forward(self, connection, request, head, body, raw, sent_continue):
        """Passes the request to the spooler on the connection's own link;
        the answer comes back through _relay. Waits for it."""
        if connection.upstream is None:
            upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                upstream.connect(self.upstream)
            except OSError as error:
                upstream.close()
                request.notes.append(f"cannot reach the spooler: {error}")
                for _ in body:
                    pass
                self._finish(request, "closed the connection unanswered")
                return False
            connection.upstream = upstream
            connection.upstream_stream = _Stream(upstream)
            thread = threading.Thread(target=self._relay, args=(connection,),
                                      name=f"proxy-c{connection.number}-spooler", daemon=True)
            connection.threads.append(thread)
            thread.start()
        request.action = "forwarded, awaiting the answer"
        connection.current = request
        sending = [_without_expect(head) if sent_continue else head] + raw
        try:
            connection.upstream.sendall(b"".join(sending))
            for piece, _ in body:
                connection.upstream.sendall(piece)
        except OSError:
            # The spooler ended the link; the rest of the request is read
            # all the same, and _relay tells the client what it said.
            request.notes.append("the spooler stopped taking the request")
            for _ in body:
                pass
        while not request.done.wait(0.1):
            if self._stopping.is_set():
                return False
            if connection.relay_over and not request.done.is_set():
                # The spooler ended the link just before this request came.
                request.notes.append("the spooler closed the connection without an answer")
                self._finish(request, "forwarded, unanswered")
                return False
        return True

    def _relay(self, connection):
        """Passes the spooler's answers back to the client, or not."""
        try:
            self._relay_answers(connection)
        finally:
            connection.relay_over = True

    def _relay_answers(self, connection):
        stream = connection.upstream_stream
        while True:
            try:
                head = stream.read_head()
            except _Broken:
                head = None
            request = connection.current
            if head is None:
                if request is not None and not request.done.is_set():
                    request.notes.append("the spooler closed the connection without an answer")
                    self._finish(request, "forwarded, unanswered")
                if not connection.stalled:
                    connection.end_client()
                return
            try:
                (_, code, *_), fields = _parse_head(head)
                status = int(code)
            except ValueError:
                if request is not None:
                    request.notes.append(f"the spooler's answer is no HTTP: {head[:40]!r}")
                    self._finish(request, "forwarded, unanswered")
                connection.end()
                return
            if status < 200:
                if request is not None:
                    request.interim.append(status)
                if not connection.stalled:
                    connection.send_client(head)
                continue
            if request is None or request.done.is_set():
                connection.end()  # an answer to nothing
                return
            request.http_status = status
            keep = request.fault in ("lose-answer", "stall-answer")
            # The last piece is held back until the request's record is
            # complete, so that a client that has its answer finds it so.
            held = head
            start = bytearray()
            try:
                framing = _response_framing(fields, request.method, status)
                for piece, carried in stream.body(framing):
                    if len(start) < 8:
                        start += carried
                    if not keep:
                        connection.send_client(held)
                    held = piece
            except _Broken as error:
                if not keep:
                    connection.send_client(held)
                request.notes.append(f"spooler: {error}")
                self._finish(request, "forwarded, answer cut short")
                connection.end()
                return
            ipp = fields.get("content-type", "").lower().startswith("application/ipp")
            if status == 200 and ipp and len(start) >= 4:
                request.status = status_name(struct.unpack(">H", bytes(start[2:4]))[0])
            else:
                request.status = f"HTTP {status}"
            if request.fault == "lose-answer":
                self._finish(request, "forwarded, answer read and not delivered; connection closed")
                connection.end()
                self._fault_done.set()
                return
            if request.fault == "stall-answer":
                connection.stalled = True
                self._finish(request, "forwarded, answer swallowed; connection left open")
                self._fault_done.set()
                continue
            self._finish(request, "forwarded")
            connection.send_client(held)
            if framing[0] == "close":
                connection.end_client()
                return

    # Stopping.

    def stop(self):
        """Ends every connection, stalled or not, and every thread."""
        if self._stopped:
            return
        self._stopped = True
        self._stopping.set()
        # A connection of its own wakes the acceptor, which then sees the
        # proxy is stopping.
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as wake:
                wake.connect(self.socket)
        except OSError:
            pass
        self._acceptor.join(timeout=5)
        self._listener.close()
        with self._lock:
            connections = list(self._connections)
            requests = list(self._requests)
        for connection in connections:
            connection.end()
        for request in requests:
            if not request.done.is_set():
                request.notes.append("the proxy stopped first")
                request.done.set()
        for connection in connections:
            for thread in connection.threads:
                thread.join(timeout=5)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
