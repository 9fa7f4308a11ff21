"""The tests' scripted HTTP(S) download server and a relay that breaks an
answer: what the launcher meets on the network, answer by answer. Every
wait is bounded and the server closes every connection it answers."""
import re
import select
import socket
import socketserver
import ssl
import struct
import threading
import time

import endpoints

# Longer than any launcher built for these tests waits for a stalled server.
STALL_SECONDS = 60


class Answer:
    """What the server sends for one path.

    kind: "ok" (status 200 and body), "status" (the given status, body as the
    page), "cut" (announces 10000 bytes, sends 5000, closes cleanly), "reset"
    (announces 10000 bytes, sends 5000, resets the connection), "stall"
    (announces the body's length, sends 5000 bytes of it, then holds the
    connection silent for STALL_SECONDS, until the server stops or until the
    client closes it), "redirect"
    (302 to the URL in body), "raw" (body is the whole answer, head and all),
    "drop" (resets the connection before any answer).

    An "ok" answer with an etag or a last_modified (the header values as
    sent) carries them, and answers a request whose If-None-Match is that
    ETag, or, without If-None-Match, whose If-Modified-Since is that date,
    with 304 Not Modified and no body; a request with "Range: bytes=<k>-"
    and an If-Range that is that ETag (or, without one, that date) gets a
    206 with the rest of the body from byte k. `breaks`: the n-th request
    of an "ok" answer, while there is an n-th number, gets only that many
    bytes of its body and then a reset. `headers` are sent as they are.
    """

    def __init__(self, kind="ok", body=b"", status=200, etag=None, last_modified=None, rate=None,
                 breaks=(), headers=b""):
        self.kind, self.body, self.status = kind, body, status
        self.etag, self.last_modified = etag, last_modified
        self.rate = rate  # Bytes a second the body is paced at; None: at once.
        self.breaks, self.headers = list(breaks), headers
        self.served = 0  # Requests answered so far.
        self.closed_at = None  # When the client let go of a stalled answer (time.monotonic).

    def range_from(self, range_header, if_range):
        """The byte a request's Range asks the rest of the body from, or None
        when it asks for no range or its If-Range no longer holds."""
        match = re.fullmatch(r"bytes=(\d+)-", range_header or "")
        validator = self.etag or self.last_modified
        if self.kind != "ok" or not match or validator is None or if_range != validator:
            return None
        start = int(match.group(1))
        return start if start < len(self.body) else None

    def not_modified(self, if_none_match, if_modified_since):
        if self.kind != "ok":
            return False
        if if_none_match is not None:
            return self.etag is not None and if_none_match == self.etag
        return (if_modified_since is not None and self.last_modified is not None
                and if_modified_since == self.last_modified)

    def validator_headers(self):
        return (b"ETag: %s\r\n" % self.etag.encode() if self.etag else b"") + \
            (b"Last-Modified: %s\r\n" % self.last_modified.encode() if self.last_modified else b"") + \
            self.headers


class LoopbackServer:
    """A socketserver served on a thread of its own from __enter__ to __exit__."""

    def _serve(self, server):
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()


class DownloadServer(LoopbackServer):
    """An HTTP server on 127.0.0.1:PORT with one scripted answer per path, or
    a list of them: the n-th request of the path gets the n-th (the last
    one repeats).

    With tls=(certificate file, key file) it serves HTTPS on TLS_PORT instead.
    port=0 takes any free port instead; .port says which.
    """

    def __init__(self, answers, tls=None, port=None):
        self.answers = {path: answer if isinstance(answer, list) else [answer]
                        for path, answer in answers.items()}
        self.requests = []  # (method, path, user agent)
        self.conditions = []  # (path, If-None-Match, If-Modified-Since), None when absent
        self.ranges = []  # (path, Range, If-Range), None when absent
        self.revalidated = []  # Whether each request was answered 304 Not Modified.
        self.body_bytes = 0  # Bytes of bodies sent, all answers together.
        self.sent = []  # (path, status, body bytes sent) of each answer.
        self._stopping = threading.Event()  # Ends the stalls.
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.settimeout(5)
                if tls:
                    try:
                        self.request.do_handshake()
                    except (OSError, ssl.SSLError):
                        return  # A client that refused the certificate.
                head = b""
                while b"\r\n\r\n" not in head and len(head) < 65536:
                    chunk = self.request.recv(4096)
                    if not chunk:
                        break
                    head += chunk
                if not head:
                    return  # Closed without asking, as after refusing the certificate.
                lines = head.decode("latin-1").split("\r\n")
                parts = lines[0].split(" ")
                def header(name):
                    return next((l.split(":", 1)[1].strip() for l in lines[1:]
                                 if l.lower().startswith(name + ":")), None)
                path = parts[1] if len(parts) > 1 else ""
                outer.requests.append((parts[0], path, header("user-agent")))
                inm, ims = header("if-none-match"), header("if-modified-since")
                outer.conditions.append((path, inm, ims))
                outer.ranges.append((path, header("range"), header("if-range")))
                sequence = outer.answers.get(path, [Answer("status", b"none", 404)])
                asked = sum(1 for r in outer.requests if r[1] == path) - 1
                answer = sequence[min(asked, len(sequence) - 1)]
                outer.revalidated.append(answer.not_modified(inm, ims))
                status, start = answer.status if answer.kind == "status" else 200, 0
                if outer.revalidated[-1]:
                    answer, status = Answer("status", b"", 304, answer.etag, answer.last_modified), 304
                elif answer.range_from(header("range"), header("if-range")) is not None:
                    start, status = answer.range_from(header("range"), header("if-range")), 206
                cut = answer.breaks[answer.served] if answer.served < len(answer.breaks) else None
                answer.served += 1
                sent = outer._answer(self.request, answer, outer._stopping, start, cut)
                outer.body_bytes += sent
                outer.sent.append((path, status, sent))

        context = None
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

            def get_request(self):
                sock, address = super().get_request()
                if context:  # The handshake runs on the handler's thread.
                    sock = context.wrap_socket(sock, server_side=True,
                                               do_handshake_on_connect=False)
                return sock, address

        deadline = time.monotonic() + 20
        while True:  # Bounded wait for a previous scenario's server to let go.
            try:
                self._server = Server(("127.0.0.1", (endpoints.TLS_PORT if tls else endpoints.PORT)
                                       if port is None
                                       else port), Handler)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.port = self._server.server_address[1]
        self._serve(self._server)

    @staticmethod
    def _answer(sock, answer, stopping, start=0, cut=None):
        """Sends `answer` (from body byte `start`, with a 206, when not 0;
        reset after `cut` body bytes when given) and returns the body bytes sent."""
        # Bounded, yet long enough for a large body at 2 MB/s.
        sock.settimeout(5 + len(answer.body) / (2 << 20))
        if answer.kind == "drop":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return 0
        if answer.kind == "ok" and (start or cut is not None):
            whole = len(answer.body)
            part = (b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\n"
                    % (start, whole - 1, whole)) if start else b"HTTP/1.1 200 OK\r\n"
            body = answer.body[start:start + cut] if cut is not None else answer.body[start:]
            sock.sendall(part + b"Content-Length: %d\r\n%sConnection: close\r\n\r\n"
                         % (whole - start, answer.validator_headers()) + body)
            if cut is not None:
                # Long enough for the client to take what came before the reset.
                time.sleep(0.5)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                sock.shutdown(socket.SHUT_WR)
            return len(body)
        if answer.kind == "stall":
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(answer.body)
                         + answer.body[:5000])
            # Silent until the client lets go of the connection (noted in
            # answer.closed_at), the server stops or STALL_SECONDS pass.
            deadline = time.monotonic() + STALL_SECONDS
            while not stopping.is_set() and time.monotonic() < deadline:
                if select.select([sock], [], [], 0.1)[0]:
                    try:
                        if sock.recv(4096):
                            continue
                    except OSError:
                        pass
                    answer.closed_at = time.monotonic()
                    break
            return len(answer.body[:5000])
        elif answer.kind == "raw":
            sock.sendall(answer.body)
            sock.shutdown(socket.SHUT_WR)
        elif answer.kind == "redirect":
            sock.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n"
                         b"Connection: close\r\n\r\n" % answer.body)
        elif answer.kind in ("ok", "status"):
            status = 200 if answer.kind == "ok" else answer.status
            # A 304 has no body, and so no Content-Length of one.
            length = b"" if status == 304 else b"Content-Length: %d\r\n" % len(answer.body)
            head = (b"HTTP/1.1 %d Scripted\r\n%s%sConnection: close\r\n\r\n"
                    % (status, length, answer.validator_headers()))
            if answer.rate:
                sock.sendall(head)
                for at in range(0, len(answer.body), 65536):
                    sock.sendall(answer.body[at:at + 65536])
                    time.sleep(len(answer.body[at:at + 65536]) / answer.rate)
            else:
                sock.sendall(head + answer.body)
            sock.shutdown(socket.SHUT_WR)
            return 0 if status == 304 else len(answer.body)
        else:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + answer.body[:5000])
            if answer.kind == "reset":
                # A reset that outruns the head reaches WinINet as no answer at
                # all (error 12030) rather than a broken body: let the head in.
                time.sleep(0.5)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                sock.shutdown(socket.SHUT_WR)
            return len(answer.body[:5000])
        return len(answer.body)

    def __exit__(self, *exc):
        self._stopping.set()  # Ends the stalls first.
        super().__exit__(*exc)



def program_bytes(size):
    """`size` bytes (at least 88) that are a Windows program: MZ, then
    PE\\0\\0 at 0x40, where 0x3C points, and a file header of no sections."""
    head = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" + b"\0" * 20
    return head + b"u" * (size - len(head))

