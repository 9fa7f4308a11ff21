"""A bad network or server: failed answers, cut and reset bodies, retries,
resumes, stalls and a full disk."""
import os
import re
import subprocess

import endpoints
from scenario import (BIG_PAGE, CLIENT_PATH, NOTHING_REGISTERED, UPDATER_PATH, handed_off, kept,
                      plant_install, updater_fault)
from harness import DEFAULT_DIR
from download_server import Answer
from resetting_relay import ResettingRelay
from server_processes import NginxServer


def resumed(size, cut):
    """An updater of `size` bytes (the signed build: the signed large one)
    whose connection is reset `cut` bytes into its body is continued with
    Range and If-Range where it broke: a 206 brings the rest, the whole is
    byte-exact, checked and handed off, and one file's worth is sent."""
    def scenario(s):
        if s.tls:
            s.trust_test_ca()
        plant_install(s)
        if s.tls:
            s.updater = (s.keys / "updater-large.pinned.exe").read_bytes()
        else:
            s.updater += b"\0" * (size - len(s.updater))
        code, requests = s.launch(updater=Answer("ok", s.updater, etag='"r1"', breaks=[cut]))
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False,
                                       updater_requests=2)
        ranges = s.server.ranges
        asked = re.fullmatch(r"bytes=(\d+)-", (ranges[1][1] if len(ranges) > 1 else None) or "")
        s.check(ranges[0][1] is None and asked is not None and 0 < int(asked.group(1)) <= cut and
                ranges[1][2] == '"r1"', f"the second request asks for the rest under the ETag: "
                f"{ranges}")
        s.check([status for _, status, _ in s.server.sent] == [200, 206],
                f"a 200 broken off, then a 206: {s.server.sent}")
        s.check(s.server.body_bytes <= len(s.updater) * 1.01,
                f"{s.server.body_bytes} body bytes sent for a {len(s.updater)}-byte updater")
        broken = r"retried -4 (read failed after \d+|cut short: \d+ of %d) bytes" % len(s.updater)
        s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} ") + broken,
                        kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    return scenario


def updater_transient_faults(s):
    """A connection reset before any answer, then a 503 asking for 2 s, then
    the updater: three attempts, the wait asked for, and the hand-off; each
    retry is in the record."""
    plant_install(s)
    code, requests = s.launch(updater=[Answer("drop"), Answer("status", b"busy", 503,
                                                               headers=b"Retry-After: 2\r\n"),
                                       Answer("ok", s.updater)])
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False,
                                   updater_requests=3)
    s.check(s.run_seconds >= 2, f"the run waited the 2 s asked for: {s.run_seconds:.1f} s")
    line = re.escape(f"updater.exe {s.url(UPDATER_PATH)} ")
    s.expect_record(line + "retried -2 no connection: error 12030", line + "retried -2 HTTP 503",
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def nginx_resumed(s):
    """nginx answers the resume itself: a relay resets its first answer
    700,000 bytes in, and the launcher's Range and If-Range (with nginx's own
    ETag) get nginx's 206, which is spliced on byte-exact."""
    backend = endpoints.PORT + 3
    nginx = NginxServer(s.prefix.root / "nginx", port=backend)
    plant_install(s)
    s.updater += b"\0" * (2250000 - len(s.updater))
    (nginx.work / "html" / "client").mkdir(exist_ok=True)
    (nginx.work / "html" / "client" / "tmp_updater.bin").write_bytes(s.updater)
    with nginx, ResettingRelay(backend, 700000):
        code, _ = s.prefix.run(s.launcher)
        s.prefix.wait()
    log = nginx.log()
    requests = [("GET", entry["uri"], entry["agent"]) for entry in log]
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False,
                                   updater_requests=2)
    resume = log[-1] if len(log) == 2 else {}
    s.check(resume.get("status") == "206" and resume.get("range", "").startswith("bytes=") and
            resume.get("if_range") == log[0]["etag"] and
            int(resume.get("body_bytes", 0)) < len(s.updater) - 600000,
            f"nginx answered the rest, under its own ETag, with a 206: {log}")


def updater_disk_full(s):
    """A disk that is full: the install folder is a 64 KiB file system, too
    small for either program. Both downloads fail as writes, nothing is
    registered or started, and the record says so."""
    folder = s.prefix.path(DEFAULT_DIR)
    folder.mkdir(parents=True)
    sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
    mounted = subprocess.run(sudo + ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
                             capture_output=True, text=True, timeout=30)
    s.check(mounted.returncode == 0, f"a 64 KiB file system at the install folder: "
            f"{mounted.stderr.strip() or 'mounted'}")
    if mounted.returncode != 0:
        return
    try:
        code, _ = s.launch()
        s.check(code == 1, f"exit code {code} == 1")
        s.check(sorted(p.name for p in folder.iterdir()) == [], "no file and no temporary file left")
        s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
        s.expect_record(re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} failed -5 write failed"),
                        re.escape(f"updater.exe {s.url(UPDATER_PATH)} failed -5 write failed"),
                        "exit 1")
    finally:
        s.prefix.kill()
        subprocess.run(sudo + ["umount", str(folder)], timeout=30, check=False)


def client_stalled(s):
    """A client download that stalls on a first install is given up on; the
    shortcut, the updater (whole, though WinINet may still be at the client)
    and the hand-off follow as after any failed client download."""
    if s.tls:
        s.trust_test_ca()
    code, requests = s.launch(client=Answer("stall", s.client))
    s.expect_given_up_on_in_time(stalls=1)
    s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") is None, "no client kept")
    s.check(s.install_folder() ==
            ["updater.exe", "updater_started.txt"], "no temporary file left behind")
    s.check(s.shortcut() is not None, "the shortcut is saved all the same")
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)
    # Reads complete a buffer at a time: what was received is what the
    # completed reads brought of the 5000 bytes sent.
    record = s.expect_record(re.escape(f"orvinta.exe {s.url(CLIENT_PATH)}") +
                             r" failed -4 stalled after \d+ bytes",
                             kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    stalled_after = re.search(r"after (\d+) bytes", record[1] if len(record) > 1 else "")
    s.check(stalled_after is not None and 0 < int(stalled_after.group(1)) <= 5000,
            f"the bytes received before the stall: {record[1:2]}")


SCENARIOS = {
    "updater_404": updater_fault(Answer("status", BIG_PAGE, 404), "failed -2 HTTP 404"),
    "updater_500": updater_fault(Answer("status", BIG_PAGE, 500), "failed -2 HTTP 500", attempts=3),
    "updater_retry_after_an_hour": updater_fault(
        Answer("status", BIG_PAGE, 503, headers=b"Retry-After: 3600\r\n"),
        r"failed -2 HTTP 503 \(retry after 3600 s\)"),
    "updater_cut": updater_fault(Answer("cut", b"c" * 5000),
                                 r"failed -4 cut short: \d+ of 10000 bytes", attempts=3),
    "updater_reset": updater_fault(Answer("reset", b"r" * 5000),
                                   r"failed -4 (cut short: \d+ of 10000|read failed after \d+) bytes",
                                   attempts=3),
    "updater_resumed": resumed(2250000, 700000),
    "updater_transient_faults": updater_transient_faults,
    "nginx_resumed": nginx_resumed,
    "signed_updater_resumed": resumed(0, 1300000),
    "updater_malformed_length": updater_fault(
        Answer("raw", b"HTTP/1.1 200 OK\r\nContent-Length: 10000x\r\n\r\n" + b"m" * 10000),
        "failed -2 malformed Content-Length"),
    "updater_disk_full": updater_disk_full,
    "server_down": updater_fault(None, r"failed -2 no connection: error 12029", server=False,
                                 attempts=3),
    "client_stalled": client_stalled,
    "signed_updater_stalled": updater_fault(lambda s: Answer("stall", s.updater),
                                            r"failed -4 stalled after \d+ bytes"),
}
