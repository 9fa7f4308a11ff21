"""A scenario's prefix and launcher, and the checks and record lines that
scenarios share."""
import datetime
import re
import time
from pathlib import Path

import endpoints
from harness import (COMMAND_NAME, DEFAULT_DIR, INSTALL_NAME, PROTOCOL_NAME, RUN_TIMEOUT,
                     SHORTCUT_NAME, WINDOW_SECONDS, ENVIRONMENT_MARK, Prefix, expected_registration)
from download_server import STALL_SECONDS, Answer, DownloadServer

CLIENT_PATH = "/client/orvinta.exe"
UPDATER_PATH = "/client/tmp_updater.bin"
AGENT = "Orvinta Launcher"
# What a launcher run costs here beyond its downloads: Wine's start, the
# pause after the shortcut, the hand-off, with room to spare.
RUN_OVERHEAD_SECONDS = 15
NOTHING_REGISTERED = {INSTALL_NAME: None, PROTOCOL_NAME: None, COMMAND_NAME: None}


class Scenario:
    """A fresh prefix and the launcher to run in it.

    Scenarios named signed_* run the publisher's build (HTTPS to localhost,
    the pinned test key) against a TLS server serving files that key signed.
    Those named *proxied_* run launchers built for endpoints.PROXIED_HOST,
    which only the tests' proxy resolves; those named *fallback_* launchers
    with a second host at endpoints.FALLBACK_PORT (FALLBACK_TLS_PORT).
    """

    def __init__(self, args, name):
        build = Path(args.build)
        self.e2e = e2e = build / "tests" / "e2e"
        self.keys = build / "tests" / "signing"
        group = "" if args.group == 0 else str(args.group)
        self.host = endpoints.PROXIED_HOST if "proxied_" in name else None
        if self.host:
            group = "Proxied"
        if "fallback_" in name:
            group = "Fallback"
        self.probe = e2e / "registry_probe.exe"
        self.unsigned_client = (e2e / "sample_client.exe").read_bytes()
        if name.startswith("signed_"):
            self.launcher_exe = e2e / f"OrvintaLauncherSignedE2E{group}.exe"
            self.updater = (self.keys / "updater.pinned.exe").read_bytes()
            self.client = (self.keys / "client.pinned.exe").read_bytes()
            self.tls = (self.keys / "localhost.pem", self.keys / "localhost.key")
        else:
            self.launcher_exe = e2e / f"OrvintaLauncherE2E{group}.exe"
            self.updater = (e2e / "recording_updater.exe").read_bytes()
            self.client = self.unsigned_client
            self.tls = None
        self.prefix = Prefix(build / "e2e", name, args.winerun,
                             waiter=e2e / "wait_for_programs.exe").create()
        self.launcher = self.prefix.install_launcher(self.launcher_exe)
        self.failures = []

    def url(self, path):
        """The URL the launcher of this scenario fetches `path` from."""
        return (f"https://{self.host or 'localhost'}:{endpoints.TLS_PORT}" if self.tls
                else f"http://{self.host or '127.0.0.1'}:{endpoints.PORT}") + path

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
        print(("  ok    " if condition else "  FAIL  ") + what)

    def launch(self, updater=None, client=None, server=True, locale="ko_KR.UTF-8", env=None):
        """One launcher run; returns (exit code, requests the server saw).
        .conditions then holds the conditions of each request."""
        answers = {CLIENT_PATH: client or Answer("ok", self.client),
                   UPDATER_PATH: updater or Answer("ok", self.updater)}
        self.conditions = []
        if not server:
            code, _ = self.prefix.run(self.launcher, locale=locale, extra_env=env)
            self.prefix.wait()
            return code, []
        with DownloadServer(answers, tls=self.tls) as s:
            start = time.monotonic()
            code, _ = self.prefix.run(self.launcher, locale=locale, extra_env=env)
            # When the launcher's process ended, and every program it started.
            self.launcher_ended = time.monotonic()
            self.prefix.wait()
            self.all_ended = time.monotonic()
            self.run_seconds = self.all_ended - start
        self.conditions, self.server = s.conditions, s
        return code, s.requests

    def forget_hand_off(self):
        """Clears what shows a hand-off, so the next run must make its own."""
        self.prefix.delete_key("HKCR\\orvinta", self.launcher)
        self.prefix.path(DEFAULT_DIR + "\\updater_started.txt").unlink(missing_ok=True)

    def expect_record(self, *lines):
        """LastRun holds a heading for now and the launcher, then `lines`,
        each a regular expression that the whole line must match."""
        record = self.prefix.last_run(self.probe) or []
        print("  record: " + " | ".join(record))
        heading = re.fullmatch(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) OrvintaLauncher\.exe 0\.0\.0\.0",
                               record[0] if record else "")
        age = (datetime.datetime.now(datetime.timezone.utc) - datetime.datetime.strptime(
            heading.group(1), "%Y-%m-%dT%H:%M:%S%z")).total_seconds() if heading else None
        self.check(age is not None and -5 < age < RUN_TIMEOUT * 3,
                   f"the record begins with the time of the run and the launcher: {record[:1]}")
        self.check(len(record) == len(lines) + 1 and
                   all(re.fullmatch(want, got) for want, got in zip(lines, record[1:])),
                   f"the record's lines {record[1:]} match {list(lines)}")
        return record

    def expect_conditions(self, wanted):
        """The requests carried these (path, If-None-Match, If-Modified-Since)."""
        self.check(self.conditions == wanted, f"conditions {self.conditions} == {wanted}")

    def expect_given_up_on_in_time(self, stalls):
        """A run that met `stalls` stalled downloads ended within their bound."""
        bound = stalls * (2 * WINDOW_SECONDS + 2) + RUN_OVERHEAD_SECONDS
        self.check(self.run_seconds < bound,
                   f"the run took {self.run_seconds:.1f} s < {bound} s, not the server's "
                   f"{STALL_SECONDS} s stall")

    def expect_no_cache_copy(self):
        cached = [p.name for p in self.prefix.drive_c.rglob("*")
                  if re.fullmatch(r"(tmp_updater|orvinta)\[\d+\].*", p.name)]
        self.check(cached == [], f"no download left in the WinINet cache: {cached}")

    def install_folder(self):
        """The names in the default install folder, sorted."""
        return sorted(p.name for p in self.prefix.path(DEFAULT_DIR).iterdir())

    def trust_test_ca(self):
        self.prefix.trust_root(self.probe, self.keys / "ca.der")

    def registry(self):
        return self.prefix.registry(self.probe)

    def shortcut(self):
        link = self.prefix.desktop() / SHORTCUT_NAME
        return link.read_bytes() if link.is_file() else None

    def expect_installed_and_started(self, install_dir, code, requests, client_requested,
                                     updater_requests=1):
        wanted = [("GET", CLIENT_PATH, AGENT)] if client_requested else []
        wanted += [("GET", UPDATER_PATH, AGENT)] * updater_requests
        self.check(requests == wanted, f"requests {requests} == {wanted}")
        self.check(code == 0, f"exit code {code} == 0 (the process became the updater)")
        self.check(self.prefix.read(install_dir + "\\updater.exe") == self.updater,
                   "updater.exe is byte-identical to what the server sent")
        self.check(self.registry() == expected_registration(install_dir),
                   "INSTALL, URL protocol and open command hold the exact REG_SZ bytes")
        record = self.prefix.updater_record(install_dir)
        # Started in its own folder, not the launcher's (Prefix.run's C:\),
        # and in the launcher's environment.
        wanted_record = ["argc=2", f"argv[0]={install_dir}\\updater.exe", "argv[1]=-activestart",
                         f"cwd={install_dir}", f"mark={ENVIRONMENT_MARK}"]
        self.check(record == wanted_record, f"updater started as {record} == {wanted_record}")
        self.expect_no_cache_copy()

    def expect_first_install(self, locale="ko_KR.UTF-8", **launch):
        code, requests = self.launch(locale=locale, **launch)
        self.check(self.prefix.path(DEFAULT_DIR).is_dir(), f"{DEFAULT_DIR} exists")
        self.check(self.prefix.read(DEFAULT_DIR + "\\orvinta.exe") == self.client,
                   "orvinta.exe is byte-identical to what the server sent")
        self.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)


def handed_off():
    return re.escape(f'handed off "{DEFAULT_DIR}\\updater.exe" -activestart')


def kept(s, name, path, body):
    return re.escape(f"{name} {s.url(path)} kept {len(body)}")


def plant_install(s):
    """Where a repeat run starts, without the first run: INSTALL recorded,
    the client and an updater in place, no conditions kept."""
    s.prefix.set_install(s.probe, 1, DEFAULT_DIR.encode() + b"\0")
    folder = s.prefix.path(DEFAULT_DIR)
    folder.mkdir(parents=True)
    (folder / "orvinta.exe").write_bytes(s.client)
    (folder / "updater.exe").write_bytes(s.updater)


def unreached(s, name, path, lines=1, verb="retried"):
    """Record lines of `name`'s download: `lines` attempts that found no
    connection (its host resolved nowhere but in the proxy), the last `verb`."""
    line = re.escape(f"{name} {s.url(path)} ")
    return [line + "retried -2 no connection: error 12007"] * (lines - 1) + \
        [line + verb + " -2 no connection: error 12007"]


def updater_fault(answer, outcome, server=True, attempts=1):
    """The updater fails on a repeat run in `attempts` attempts (its record's
    line ends in `outcome`, a regular expression, as do those of the
    attempts retried): nothing changes but the record."""
    def scenario(s):
        if s.tls:
            s.trust_test_ca()
        answer_now = answer(s) if callable(answer) else answer
        s.expect_first_install()
        previous = s.prefix.read(DEFAULT_DIR + "\\updater.exe")
        s.prefix.delete_key("HKCR\\orvinta", s.launcher)
        s.prefix.path(DEFAULT_DIR + "\\updater_started.txt").unlink()
        code, requests = s.launch(updater=answer_now, server=server)
        if answer_now is not None and answer_now.kind == "stall":
            s.expect_given_up_on_in_time(stalls=1)
        if server:
            # So that a run Wine never started cannot pass for a failed download.
            s.check(requests == [("GET", UPDATER_PATH, AGENT)] * attempts,
                    f"{attempts} request(s) for the updater: {requests}")
        s.check(code == 1, f"exit code {code} == 1")
        s.check(s.prefix.read(DEFAULT_DIR + "\\updater.exe") == previous,
                "the earlier updater.exe is byte-identical")
        s.check(s.install_folder() ==
                ["orvinta.exe", "updater.exe"], "no temporary file left behind")
        registry = s.registry()
        s.check(registry[PROTOCOL_NAME] is None and registry[COMMAND_NAME] is None,
                "nothing new registered")
        s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")
        line = re.escape(f"updater.exe {s.url(UPDATER_PATH)} ")
        retried = [line + "retried " + outcome.split(" ", 1)[1]] * (attempts - 1)
        s.expect_record(*retried, line + outcome, "exit 1")
    return scenario


BIG_PAGE = b"<html>" + b"e" * 5000 + b"</html>"
