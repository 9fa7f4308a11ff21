"""Runs the real launcher under Wine against a scripted local download server.

Shared by the end-to-end scenarios (e2e.py) and the demo (scripts/demo.py).
Every wait is bounded and the server closes every connection it answers.
"""
import fcntl
import os
import re
import shutil
import socket
import socketserver
import ssl
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

# The e2e and demo launchers are built for 127.0.0.1:28613, a port below
# Linux's ephemeral range, so no test's client socket can be holding it; the
# signed build for https://localhost:28614. A second group of e2e launchers
# is built for 28623 and 28624, so that two scenarios can run at once.
PORT = 28613
TLS_PORT = 28614


# The name the proxy scenarios' launchers are built for: only the tests'
# proxy resolves it (to the loopback), so a direct connection cannot.
PROXIED_HOST = "downloads.orvinta.test"
# The proxy's port, on the loopback.
PROXY_PORT = 28619


def use_group(group):
    """Serves the launchers of e2e group `group` (0 or 1) from here on."""
    global PORT, TLS_PORT
    PORT, TLS_PORT = 28613 + 10 * group, 28614 + 10 * group
INSTALL_KEY = "HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA"
DEFAULT_DIR = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA"
SHORTCUT_NAME = "\uc624\ube48\ud0c0\uba54\ub8e8\uc2a4.lnk"
RUN_TIMEOUT = 90
# The window of OrvintaLauncherE2E and OrvintaLauncherSignedE2E (their
# DOWNLOAD_STALL_SECONDS, E2E_DOWNLOAD_LIMITS in tests/CMakeLists.txt).
WINDOW_SECONDS = 3
# Longer than any launcher built for these tests waits for a stalled server.
STALL_SECONDS = 60


class Answer:
    """What the server sends for one path.

    kind: "ok" (status 200 and body), "status" (the given status, body as the
    page), "cut" (announces 10000 bytes, sends 5000, closes cleanly), "reset"
    (announces 10000 bytes, sends 5000, resets the connection), "stall"
    (announces the body's length, sends 5000 bytes of it, then holds the
    connection silent for STALL_SECONDS or until the server stops), "redirect"
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
                self._server = Server(("127.0.0.1", (TLS_PORT if tls else PORT) if port is None
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
            stopping.wait(STALL_SECONDS)
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


def stop(process):
    """Ends a server process of the tests': asked first, then killed."""
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=10)


class NginxServer:
    """Debian's nginx on 127.0.0.1:PORT (or `port`) serving the folder
    `work`/html (put client/... there), started and stopped here, its files
    all in `work`. log() gives its access log: one dict of FIELDS a request."""

    FIELDS = ("method", "uri", "agent", "status", "body_bytes", "if_none_match",
              "if_modified_since", "etag", "range", "if_range")

    def __init__(self, work, port=None):
        self.port = PORT if port is None else port
        self.work = Path(work).resolve()
        (self.work / "html").mkdir(parents=True, exist_ok=True)
        temps = "".join(f"  {kind}_temp_path {self.work}/{kind};\n"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        fields = "|".join(("$request_method", "$uri", "$http_user_agent", "$status",
                           "$body_bytes_sent", "$http_if_none_match", "$http_if_modified_since",
                           "$sent_http_etag", "$http_range", "$http_if_range"))
        self.conf = self.work / "nginx.conf"
        self.conf.write_text(
            f"daemon off;\nmaster_process off;\npid {self.work}/nginx.pid;\n"
            f"error_log {self.work}/error.log;\nevents {{}}\nhttp {{\n"
            f"  log_format e2e '{fields}';\n  access_log {self.work}/access.log e2e;\n{temps}"
            f"  server {{ listen 127.0.0.1:{self.port}; root {self.work}/html; }}\n}}\n")

    def __enter__(self):
        deadline = time.monotonic() + 20
        while True:  # Bounded wait for a previous scenario's server to let go.
            self._process = subprocess.Popen(
                ["nginx", "-p", str(self.work), "-c", str(self.conf), "-e",
                 str(self.work / "error.log")], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while self._process.poll() is None and time.monotonic() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    (self.work / "access.log").write_text("")  # Not the probe's request.
                    return self
                except OSError:
                    time.sleep(0.1)
            if time.monotonic() >= deadline:
                self.__exit__()
                raise RuntimeError("nginx did not start: " +
                                   (self.work / "error.log").read_text(errors="replace"))
            time.sleep(0.2)

    def __exit__(self, *exc):
        stop(self._process)

    def log(self):
        lines = (self.work / "access.log").read_text(errors="replace").splitlines()
        return [dict(zip(self.FIELDS, line.split("|"))) for line in lines if line]


class SquidProxy:
    """Debian's squid on 127.0.0.1:`port`, started and stopped here, its files
    all in a folder of its own, with a hosts file of its own in which
    PROXIED_HOST is the loopback: nothing else on the machine resolves that
    name. log() gives its access log: (method, URL, status) a request."""

    def __init__(self, port):
        # Run as root, squid works as its own user ("proxy"), which must
        # reach and write its folder: one of its own under the system's temp
        # folder, whatever the permissions of the build tree's parents.
        self.work, self.port = Path(tempfile.mkdtemp(prefix="e2e-squid-")), port
        self.work.chmod(0o777)
        (self.work / "hosts").write_text(f"127.0.0.1 {PROXIED_HOST}\n")
        self.conf = self.work / "squid.conf"
        self.conf.write_text(
            f"http_port 127.0.0.1:{port}\n"
            f"pid_filename {self.work}/squid.pid\n"
            f"cache_log {self.work}/cache.log\n"
            "logformat e2e %rm %ru %>Hs\n"
            f"access_log stdio:{self.work}/access.log logformat=e2e\n"
            f"hosts_file {self.work}/hosts\n"
            f"coredump_dir {self.work}\n"
            "cache deny all\n"
            "pinger_enable off\n"
            "shutdown_lifetime 0 seconds\n"
            "acl loopback src 127.0.0.1/32\n"
            "http_access allow loopback\n"
            "http_access deny all\n")

    def __enter__(self):
        self._process = subprocess.Popen(
            ["squid", "-N", "-f", str(self.conf)], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self._process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.1)
        log = self.work / "cache.log"
        said = log.read_text(errors="replace")[-2000:] if log.exists() else ""
        self.__exit__()
        raise RuntimeError("squid did not start: " + said)

    def __exit__(self, *exc):
        stop(self._process)
        shutil.rmtree(self.work, ignore_errors=True)

    def log(self):
        path = self.work / "access.log"
        lines = path.read_text(errors="replace").splitlines() if path.exists() else []
        # Squid logs a connection that sent nothing (the start-up probe) as "-".
        return [tuple(line.split(" ")) for line in lines if line and not line.startswith("- ")]


class ResettingRelay(LoopbackServer):
    """A relay on 127.0.0.1:PORT to a server on 127.0.0.1:`target`: the first
    answer it passes on is cut by a reset after `reset_after` bytes (head
    and all), the way a broken link cuts one; the rest pass whole."""

    def __init__(self, target, reset_after):
        self.target, self.reset_after, self.connections = target, reset_after, 0
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.connections += 1
                budget = outer.reset_after if outer.connections == 1 else None
                upstream = socket.create_connection(("127.0.0.1", outer.target), timeout=10)
                self.request.settimeout(10)
                with upstream:
                    head = b""
                    while b"\r\n\r\n" not in head:
                        chunk = self.request.recv(4096)
                        if not chunk:
                            return
                        head += chunk
                    upstream.sendall(head)
                    while True:
                        chunk = upstream.recv(65536)
                        if not chunk:
                            break
                        if budget is not None and len(chunk) >= budget:
                            self.request.sendall(chunk[:budget])
                            time.sleep(0.5)  # The client takes what came before the reset.
                            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                    struct.pack("ii", 1, 0))
                            return
                        self.request.sendall(chunk)
                        budget = None if budget is None else budget - len(chunk)
                    self.request.shutdown(socket.SHUT_WR)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._serve(Server(("127.0.0.1", PORT), Handler))


def program_bytes(size):
    """`size` bytes (at least 68) that start like a Windows program: MZ, then
    PE\\0\\0 at 0x40, where 0x3C points."""
    head = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0"
    return head + b"u" * (size - len(head))


class Prefix:
    """A Wine prefix copied from a base prefix, so each scenario starts clean.

    With `waiter` (tests/e2e/wait_for_programs.exe) one wineserver serves the
    whole scenario: Debian starts each one with -p0, so it ends with its
    last program and the next program starts another, and a program that
    connects while a server ends loses that connection. Without, each
    program may start its own, as in the demo."""

    def __init__(self, work, name, winerun, waiter=None):
        self.winerun, self.waiter = str(winerun), waiter
        work = Path(work).resolve()
        self.base_root = work / "base"
        self.root = work / name
        self.prefix = self.root / "prefix"
        self.drive_c = self.prefix / "drive_c"

    def _env(self, root, locale="ko_KR.UTF-8", extra=None):
        # WinINet reads a proxy from these too: only the prefix's own
        # settings may name one.
        env = {name: value for name, value in os.environ.items()
               if name.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
        env.update(LAUNCHER_LOCALE=locale, HOME=str(root / "home"),
                   WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all")
        env.update(extra or {})
        return env

    def create(self):
        """Makes the base prefix once, then this scenario's copy of it."""
        self.base_root.mkdir(parents=True, exist_ok=True)
        # Scenarios of both groups may start together: one makes the base,
        # and none copies it while it is being made.
        with open(self.base_root / "base.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            ready = self.base_root / "prefix" / ".settled"
            if not ready.exists():
                subprocess.run([self.winerun, str(self.base_root), "cmd", "/c", "exit"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=300, check=False)
                subprocess.run(["wineserver", "-w"], env=self._env(self.base_root), timeout=120,
                               check=False)
                ready.touch()
            self.kill()
            shutil.rmtree(self.root, ignore_errors=True)
            self.root.mkdir(parents=True)
            # Hard links keep the copy instant; the registry files, which Wine
            # rewrites, are real copies.
            subprocess.run(["cp", "-al", str(self.base_root / "prefix"), str(self.prefix)],
                           check=True)
            for reg in self.prefix.glob("*.reg"):
                reg.unlink()
                shutil.copy2(self.base_root / "prefix" / reg.name, reg)
        if self.waiter:
            subprocess.run(["wineserver", "-p"], env=self._env(self.root), timeout=60, check=True)
        return self

    def run(self, program, args=(), locale="ko_KR.UTF-8", extra_env=None, timeout=RUN_TIMEOUT):
        """Runs a Windows program to its end and returns its exit code and output."""
        out = self.root / "last_output.txt"
        with open(out, "wb") as sink:
            # Output to a file: Wine's background processes inherit it and
            # would hold a pipe open.
            result = subprocess.run([self.winerun, str(self.root), str(program), *args],
                                    stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT,
                                    env=self._env(self.root, locale, extra_env),
                                    timeout=timeout, check=False)
        return result.returncode, out.read_text(errors="replace")

    def wait(self):
        """Waits until every program of this prefix (a started updater too) has ended."""
        if self.waiter:
            code, output = self.run(self.waiter)
            assert code == 0, output
            return
        subprocess.run(["wineserver", "-w"], env=self._env(self.root), timeout=RUN_TIMEOUT,
                       check=False)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self._env(self.root), stderr=subprocess.DEVNULL,
                       timeout=60, check=False)

    def path(self, windows_path):
        """The Linux path of a C:\\ path."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*windows_path[3:].split("\\"))

    def desktop(self):
        users = [u for u in (self.drive_c / "users").iterdir() if u.name != "Public"]
        return users[0] / "Desktop"

    def read(self, windows_path):
        p = self.path(windows_path)
        return p.read_bytes() if p.is_file() else None

    def registry(self, probe):
        """The launcher's three values: {name: (type, bytes)} or None when missing."""
        _, output = self.run(probe, ["dump"])
        values = {}
        for line in output.splitlines():
            fields = line.strip().split("|")
            if len(fields) < 3:
                continue
            name = fields[0] + "|" + fields[1]
            values[name] = None if fields[2] == "missing" else (int(fields[2]), bytes.fromhex(fields[3]))
        return values

    def last_run(self, probe):
        """The lines of the launcher's record of its last run (type REG_SZ),
        or None when there is none."""
        _, output = self.run(probe, ["last-run"])
        fields = output.strip().split("|")
        if len(fields) < 4 or fields[2] != "1":
            return None
        text = bytes.fromhex(fields[3]).decode("latin-1")
        assert text.endswith("\r\n\0"), text
        return text[:-3].split("\r\n")

    def set_install(self, probe, reg_type, data):
        code, output = self.run(probe, ["set-install", str(reg_type), data.hex()])
        assert code == 0, output

    def keep_conditions(self, probe, file_name, record):
        """Stores a record of kept conditions (SHA-256 and lines) for file_name."""
        code, output = self.run(probe, ["set-kept", file_name, record.hex()])
        assert code == 0, output

    def set_proxy(self, server):
        """Sets the prefix's (the user's) proxy settings to `server`, host:port."""
        key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
        for value in (["ProxyEnable", "/t", "REG_DWORD", "/d", "1"],
                      ["ProxyServer", "/t", "REG_SZ", "/d", server]):
            code, output = self.run("reg", ["add", key, "/v", *value, "/f"])
            assert code == 0, output

    def trust_root(self, probe, certificate):
        """Adds a CA certificate (DER) to this prefix's machine ROOT store."""
        code, output = self.run(probe, ["trust-root", "Z:" + str(certificate).replace("/", "\\")])
        assert code == 0, output

    def delete_key(self, key, launcher):
        """Deletes a key in the registry view of the program `launcher`."""
        self.run("reg", ["delete", key, "/f", "/reg:%d" % pe_bits(launcher)])

    def install_launcher(self, launcher, name="OrvintaLauncher.exe"):
        """Puts the launcher where a user would run it from: their Downloads folder."""
        downloads = self.desktop().parent / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copy2(launcher, downloads / name)
        return downloads / name

    def updater_record(self, install_dir):
        data = self.read(install_dir + "\\updater_started.txt")
        return None if data is None else data.decode("latin-1").splitlines()


INSTALL_NAME = INSTALL_KEY + "|INSTALL"
PROTOCOL_NAME = "HKCR\\orvinta|URL protocol"
COMMAND_NAME = "HKCR\\orvinta\\shell\\open\\command|"


def expected_registration(install_dir):
    updater = install_dir + "\\updater.exe"
    return {
        INSTALL_NAME: (1, install_dir.encode("latin-1") + b"\0"),
        PROTOCOL_NAME: (1, b"\0"),
        COMMAND_NAME: (1, ('"%s" "%%1"' % updater).encode("latin-1") + b"\0"),
    }


def pe_bits(program):
    """32 or 64: the width of a Windows program, from its PE machine field."""
    image = Path(program).read_bytes()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    return 64 if struct.unpack_from("<H", image, pe + 4)[0] == 0x8664 else 32


def link_points_at(link_bytes, target):
    """True when a shell link file names `target` (in ANSI or UTF-16)."""
    return target.encode("latin-1") in link_bytes or target.encode("utf-16-le") in link_bytes
