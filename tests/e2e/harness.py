"""Runs the real launcher under Wine against a scripted local download server.

Shared by the end-to-end scenarios (e2e.py) and the demo (scripts/demo.py).
Every wait is bounded and the server closes every connection it answers.
"""
import os
import shutil
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time
from pathlib import Path

# The e2e and demo launchers are built for 127.0.0.1:28613, a port below
# Linux's ephemeral range, so no test's client socket can be holding it; the
# signed build for https://localhost:28614.
PORT = 28613
TLS_PORT = 28614
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
    (302 to the URL in body).
    """

    def __init__(self, kind="ok", body=b"", status=200):
        self.kind, self.body, self.status = kind, body, status


class DownloadServer:
    """An HTTP server on 127.0.0.1:PORT with one scripted answer per path.

    With tls=(certificate file, key file) it serves HTTPS on TLS_PORT instead.
    port=0 takes any free port instead; .port says which.
    """

    def __init__(self, answers, tls=None, port=None):
        self.answers = dict(answers)
        self.requests = []  # (method, path, user agent)
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
                agent = next((l.split(":", 1)[1].strip() for l in lines[1:]
                              if l.lower().startswith("user-agent:")), None)
                path = parts[1] if len(parts) > 1 else ""
                outer.requests.append((parts[0], path, agent))
                outer._answer(self.request, outer.answers.get(path, Answer("status", b"none", 404)),
                              outer._stopping)

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
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    @staticmethod
    def _answer(sock, answer, stopping):
        # Bounded, yet long enough for a large body at 2 MB/s.
        sock.settimeout(5 + len(answer.body) / (2 << 20))
        if answer.kind == "stall":
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(answer.body)
                         + answer.body[:5000])
            stopping.wait(STALL_SECONDS)
        elif answer.kind == "redirect":
            sock.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n"
                         b"Connection: close\r\n\r\n" % answer.body)
        elif answer.kind in ("ok", "status"):
            status = 200 if answer.kind == "ok" else answer.status
            sock.sendall(b"HTTP/1.1 %d Scripted\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                         % (status, len(answer.body)) + answer.body)
            sock.shutdown(socket.SHUT_WR)
        else:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + answer.body[:5000])
            if answer.kind == "reset":
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                sock.shutdown(socket.SHUT_WR)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()


class Prefix:
    """A Wine prefix copied from a base prefix, so each scenario starts clean."""

    def __init__(self, work, name, winerun):
        self.winerun = str(winerun)
        work = Path(work).resolve()
        self.base_root = work / "base"
        self.root = work / name
        self.prefix = self.root / "prefix"
        self.drive_c = self.prefix / "drive_c"

    def _env(self, root, locale="ko_KR.UTF-8", extra=None):
        env = dict(os.environ, LAUNCHER_LOCALE=locale, HOME=str(root / "home"),
                   WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all")
        env.update(extra or {})
        return env

    def create(self):
        """Makes the base prefix once, then this scenario's copy of it."""
        self.base_root.mkdir(parents=True, exist_ok=True)
        subprocess.run([self.winerun, str(self.base_root), "cmd", "/c", "exit"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=False)
        subprocess.run(["wineserver", "-w"], env=self._env(self.base_root), timeout=120, check=False)
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir(parents=True)
        # Hard links keep the copy instant; the registry files, which Wine
        # rewrites, are real copies.
        subprocess.run(["cp", "-al", str(self.base_root / "prefix"), str(self.prefix)], check=True)
        for reg in self.prefix.glob("*.reg"):
            reg.unlink()
            shutil.copy2(self.base_root / "prefix" / reg.name, reg)
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

    def set_install(self, probe, reg_type, data):
        code, output = self.run(probe, ["set-install", str(reg_type), data.hex()])
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
