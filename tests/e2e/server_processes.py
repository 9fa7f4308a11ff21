"""Debian's nginx and squid as the tests run them: started on the loopback
with files of their own, and stopped, within bounds."""
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import endpoints

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
        self.port = endpoints.PORT if port is None else port
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
        (self.work / "hosts").write_text(f"127.0.0.1 {endpoints.PROXIED_HOST}\n")
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


