"""A build with a second host: a publisher's outage does not stop a first
install."""
import contextlib
import re
import time

import endpoints
from download_server import Answer, DownloadServer
from harness import DEFAULT_DIR
from scenario import BIG_PAGE, CLIENT_PATH, UPDATER_PATH, handed_off

# The window of the tests' launchers is 3 s: three attempts, their waits and
# Wine's start on each of two hosts stay well inside this.
BOTH_HOSTS_SECONDS = 60


def fallback_url(s, path):
    return (f"https://localhost:{endpoints.FALLBACK_TLS_PORT}" if s.tls
            else f"http://127.0.0.1:{endpoints.FALLBACK_PORT}") + path


def launch(s, primary):
    """One first-install run: the primary answers each path with `primary`
    (an answer for both paths, a dict of them, or None: nothing listens
    there), the second host serves both files. Returns the exit code and the
    two servers (the primary's or None)."""
    if s.tls:
        s.trust_test_ca()
    served = {CLIENT_PATH: Answer("ok", s.client), UPDATER_PATH: Answer("ok", s.updater)}
    if isinstance(primary, Answer):
        primary = {CLIENT_PATH: primary, UPDATER_PATH: primary}
    port = endpoints.FALLBACK_TLS_PORT if s.tls else endpoints.FALLBACK_PORT
    with contextlib.ExitStack() as servers:
        first = None if primary is None else servers.enter_context(
            DownloadServer(primary, tls=s.tls))
        second = servers.enter_context(DownloadServer(served, tls=s.tls, port=port))
        start = time.monotonic()
        code, _ = s.prefix.run(s.launcher)
        s.prefix.wait()
        s.run_seconds = time.monotonic() - start
    return code, first, second


def primary_failing(primary, attempts):
    """The primary refuses connections (None), or answers `primary` to each
    of the client's `attempts` attempts: the second host serves the client,
    and the updater is asked there first. The record keeps the primary's
    attempts, each as retried, and names the host that served."""
    def scenario(s):
        code, first, second = launch(s, primary)
        s.expect_installed_and_started(DEFAULT_DIR, code, second.requests, client_requested=True)
        s.check(first is None or [path for _, path, _ in first.requests] == [CLIENT_PATH] * attempts,
                f"the primary was asked for the client only: {first and first.requests}")
        primary_line = re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} retried ") + r"-\d .*"
        s.expect_record(*[primary_line] * attempts,
                        re.escape(f"orvinta.exe {fallback_url(s, CLIENT_PATH)} kept "
                                  f"{len(s.client)}"),
                        re.escape(f"updater.exe {fallback_url(s, UPDATER_PATH)} kept "
                                  f"{len(s.updater)}"),
                        handed_off())
    return scenario


def primary_healthy(s):
    """A healthy primary is the only host asked."""
    code, first, second = launch(s, {CLIENT_PATH: Answer("ok", s.client),
                                     UPDATER_PATH: Answer("ok", s.updater)})
    s.expect_installed_and_started(DEFAULT_DIR, code, first.requests, client_requested=True)
    s.check(second.requests == [], f"the second host was not asked: {second.requests}")


def both_down(s):
    """Both hosts refuse connections: exit 1, nothing installed, within the
    bound; each host's attempts are in the record."""
    start = time.monotonic()
    code, _ = s.prefix.run(s.launcher)
    s.prefix.wait()
    seconds = time.monotonic() - start
    s.check(code == 1, f"exit code {code} == 1")
    s.check(seconds < BOTH_HOSTS_SECONDS, f"ended within the bound: {seconds:.1f} s")
    record = s.prefix.last_run(s.probe) or []
    for name, path in (("orvinta.exe", CLIENT_PATH), ("updater.exe", UPDATER_PATH)):
        for url in (s.url(path), fallback_url(s, path)):
            s.check(any(line.startswith(f"{name} {url} ") for line in record),
                    f"the record names {url}: {record}")
    s.check(record[-1:] == ["exit 1"], f"the record ends in exit 1: {record[-1:]}")


SCENARIOS = {
    "fallback_primary_down": primary_failing(None, 3),
    "fallback_primary_503": primary_failing(Answer("status", BIG_PAGE, 503), 3),
    "fallback_primary_page": primary_failing(Answer("ok", b"<html>" + b"p" * 5000 + b"</html>"), 1),
    "fallback_primary_healthy": primary_healthy,
    "fallback_both_down": both_down,
    "signed_fallback_primary_down": primary_failing(None, 3),
}
