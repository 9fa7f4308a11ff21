"""Downloads that outlive their run: what one run received is continued by
the next, and only where it still holds."""
import re
import time

from download_server import Answer, DownloadServer
from harness import DEFAULT_DIR
from scenario import CLIENT_PATH, UPDATER_PATH, handed_off, kept, plant_install

UPDATER = DEFAULT_DIR + "\\updater.exe"
CLIENT = DEFAULT_DIR + "\\orvinta.exe"
CUT = 1_500_000  # Where the first run's body breaks.
GONE = [Answer("drop")] * 3  # The network gone: every attempt finds no connection.


def padded(program, size):
    """`program` with zeros after it, `size` bytes in all: trailing data."""
    return program + b"\0" * (size - len(program))


def expect_partial(s, windows_path, body):
    """What the run received of `body` before it broke off is left in
    <file>.partial; returns how much."""
    left = s.prefix.read(windows_path + ".partial") or b""
    s.check(0 < len(left) <= CUT and body.startswith(left),
            f"{windows_path}.partial holds the first bytes received: {len(left)}")
    return len(left)


def expect_continued(s, path, body, start):
    """The only request for `path` asked for the rest from `start` under its
    ETag, and a 206 brought only that."""
    ranges = [r for r in s.server.ranges if r[0] == path]
    s.check(ranges == [(path, f"bytes={start}-", '"p1"')],
            f"one request for the rest from byte {start} under the ETag: {ranges}")
    sent = [(status, size) for p, status, size in s.server.sent if p == path]
    s.check(sent == [(206, len(body) - start)], f"a 206 with the rest only: {sent}")


def client_continued_next_run(s):
    """A first install whose network goes away mid-client keeps what came;
    the next run, a first install again, asks only for the rest, and the
    client is byte-identical, with nothing of it left."""
    s.client = padded(s.client, 4_000_000)
    code, _ = s.launch(client=[Answer("ok", s.client, etag='"p1"', breaks=[CUT])] + GONE,
                       updater=GONE)
    s.check(code == 1, f"exit code {code} == 1")
    start = expect_partial(s, CLIENT, s.client)
    record = s.prefix.last_run(s.probe) or []
    print("  record: " + " | ".join(record))
    s.check(f"orvinta.exe partial kept for the next run: {start} of {len(s.client)} bytes" in record,
            "the record says what was kept for the next run")
    code, requests = s.launch(client=Answer("ok", s.client, etag='"p1"'))
    s.check(s.prefix.read(CLIENT) == s.client, "orvinta.exe is byte-identical")
    expect_continued(s, CLIENT_PATH, s.client, start)
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)
    s.expect_record(kept(s, "orvinta.exe", CLIENT_PATH, s.client) +
                    re.escape(f" (continued from byte {start})"),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing else in the folder: {s.install_folder()}")


def killed_mid_body_continued(s):
    """A launcher ended mid-body (killed, as at a logoff) leaves what it had
    flushed at its last checkpoint: the next run asks only for the rest."""
    plant_install(s)
    big = padded(s.updater, 8_000_000)
    partial = s.prefix.path(UPDATER + ".partial")
    answers = {CLIENT_PATH: Answer("ok", s.client),
               UPDATER_PATH: Answer("ok", big, etag='"p1"', rate=1_000_000)}
    with DownloadServer(answers, tls=s.tls):
        launcher = s.prefix.start(s.launcher)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (
                not partial.exists() or partial.stat().st_size < 3_500_000):
            time.sleep(0.05)
        s.prefix.kill()
        launcher.wait(timeout=60)
    on_disk = partial.stat().st_size if partial.exists() else 0
    s.updater = big
    code, requests = s.launch(updater=Answer("ok", big, etag='"p1"'))
    ranges = s.server.ranges
    asked = re.fullmatch(r"bytes=(\d+)-", (ranges[0][1] if ranges else None) or "")
    s.check(asked is not None and 1 << 20 <= int(asked.group(1)) <= on_disk and
            ranges[0][2] == '"p1"',
            f"the rest from the last checkpoint, under the ETag ({on_disk} on disk): {ranges}")
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, big) +
                    re.escape(f" (continued from byte {asked.group(1) if asked else '?'})"),
                    handed_off())
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing else in the folder: {s.install_folder()}")


def broken_then(change, etag='"p1"'):
    """A repeat run's updater broken off, the network then gone; before the
    next run `change` ("file": the server's updater changes; "disk": a kept
    byte changes) happens. Without an ETag nothing outlives the run."""
    def scenario(s):
        plant_install(s)
        old = s.updater
        s.updater = padded(old, 3_000_000)
        code, _ = s.launch(updater=[Answer("ok", s.updater, etag=etag, breaks=[CUT])] + GONE[:2])
        s.check(code == 1, f"exit code {code} == 1")
        if etag is None:
            s.check(s.install_folder() == ["orvinta.exe", "updater.exe"],
                    f"nothing but the two programs: {s.install_folder()}")
            s.check(s.prefix.read(UPDATER) == old, "the old updater stays")
            return
        expect_partial(s, UPDATER, s.updater)
        words, served_etag = "HTTP 200", etag
        if change == "file":
            s.updater = padded(old, 3_100_000)
            served_etag = '"p2"'
        else:
            kept_bytes = bytearray(s.prefix.read(UPDATER + ".partial"))
            kept_bytes[1000] ^= 1
            s.prefix.path(UPDATER + ".partial").write_bytes(bytes(kept_bytes))
            words = "changed on disk"
        code, requests = s.launch(updater=Answer("ok", s.updater, etag=served_etag))
        s.check([status for _, status, _ in s.server.sent] == [200],
                f"the new body whole, never spliced: {s.server.sent}")
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
        s.expect_record(re.escape(f"updater.exe partial dropped: {words}"),
                        kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    return scenario


SCENARIOS = {
    "client_continued_next_run": client_continued_next_run,
    "killed_mid_body_continued": killed_mid_body_continued,
    "updater_changed_between_runs": broken_then("file"),
    "partial_changed_on_disk": broken_then("disk"),
    "no_validator_leaves_nothing": broken_then(None, etag=None),
}
