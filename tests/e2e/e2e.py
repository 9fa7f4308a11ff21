#!/usr/bin/env python3
"""End-to-end scenarios: the real launcher under Wine against a local server.

Usage: e2e.py --build DIR --winerun PATH --scenario NAME
Each scenario starts from a fresh copy of a clean prefix and checks what the
launcher leaves behind: files, shortcut, registry, the started updater and
the requests the server saw.
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import (COMMAND_NAME, DEFAULT_DIR, INSTALL_NAME, PROTOCOL_NAME,  # noqa: E402
                     RUN_TIMEOUT, SHORTCUT_NAME, STALL_SECONDS, WINDOW_SECONDS, Answer, DownloadServer,
                     NginxServer, Prefix, ResettingRelay, SquidProxy, expected_registration,
                     link_points_at, program_bytes)

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
    Those named *proxied_* run launchers built for harness.PROXIED_HOST,
    which only the tests' proxy resolves.
    """

    def __init__(self, args, name):
        build = Path(args.build)
        e2e, self.keys = build / "tests" / "e2e", build / "tests" / "signing"
        group = "" if args.group == 0 else str(args.group)
        self.host = harness.PROXIED_HOST if "proxied_" in name else None
        if self.host:
            group = "Proxied"
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
        return (f"https://{self.host or 'localhost'}:{harness.TLS_PORT}" if self.tls
                else f"http://{self.host or '127.0.0.1'}:{harness.PORT}") + path

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
            self.prefix.wait()
            self.run_seconds = time.monotonic() - start
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
        wanted_record = ["argc=2", f"argv[0]={install_dir}\\updater.exe", "argv[1]=-activestart"]
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


def first_install(s):
    s.expect_first_install()
    s.expect_record(kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    link = s.shortcut()
    s.check(link is not None, f"desktop shortcut {SHORTCUT_NAME} exists")
    s.check(link is not None and link_points_at(link, DEFAULT_DIR + "\\orvinta.exe"),
            "the shortcut points at the client")


def repeat_run(s):
    s.expect_first_install()
    (s.prefix.desktop() / SHORTCUT_NAME).unlink()
    s.prefix.delete_key("HKCR\\orvinta", s.launcher)
    s.prefix.path(DEFAULT_DIR + "\\updater_started.txt").unlink()
    s.updater = s.updater + b"\0" * 512  # A newer updater on the server.
    code, requests = s.launch()
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.check(s.shortcut() is None, "no new shortcut")
    # The server sends no validator: plain requests, as ever.
    s.expect_conditions([(UPDATER_PATH, None, None)])
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def revalidated(etag=None, last_modified=None):
    """A repeat run sends the validators the updater came with, as they came;
    the server's 304 keeps the updater on disk, which is registered and
    started as after a download."""
    def scenario(s):
        if s.tls:
            s.trust_test_ca()
        answer = Answer("ok", s.updater, etag=etag, last_modified=last_modified)
        s.expect_first_install(updater=answer)
        s.forget_hand_off()
        code, requests = s.launch(updater=answer)
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
        s.expect_conditions([(UPDATER_PATH, etag, last_modified)])
        s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} revalidated {len(s.updater)}"),
                        handed_off())
    return scenario


def updater_changed(s):
    """A new updater (a new ETag) is fetched whole in spite of the old
    ETag, and the run after sends the new one."""
    s.expect_first_install(updater=Answer("ok", s.updater, etag='"v1"'))
    s.forget_hand_off()
    s.updater = s.updater + b"\0" * 512
    code, requests = s.launch(updater=Answer("ok", s.updater, etag='"v2"'))
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_conditions([(UPDATER_PATH, '"v1"', None)])
    s.forget_hand_off()
    code, requests = s.launch(updater=Answer("ok", s.updater, etag='"v2"'))
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_conditions([(UPDATER_PATH, '"v2"', None)])


def updater_changed_on_disk(s):
    """An updater changed on disk in one byte, same size and time, no
    longer matches what it came with: the request is unconditional."""
    answer = Answer("ok", s.updater, etag='"v1"', last_modified="Tue, 08 Dec 2026 10:00:00 GMT")
    s.expect_first_install(updater=answer)
    s.forget_hand_off()
    kept = s.prefix.path(DEFAULT_DIR + "\\updater.exe")
    stat = kept.stat()
    changed = bytearray(kept.read_bytes())
    changed[-1] ^= 0x01
    kept.write_bytes(bytes(changed))
    os.utime(kept, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    code, requests = s.launch(updater=answer)
    s.expect_conditions([(UPDATER_PATH, None, None)])
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)


def updater_304_unasked(s):
    """A 304 to a request that asked for none is no updater: on a first
    install nothing is kept, registered or started."""
    code, _ = s.launch(updater=Answer("status", b"", 304))
    s.check(code == 1, f"exit code {code} == 1")
    s.check(sorted(p.name for p in s.prefix.path(DEFAULT_DIR).iterdir()) == ["orvinta.exe"],
            "no updater kept, no temporary file left")
    s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")


def first_install_retried(s):
    """A first install whose updater failed is tried again: the client it
    kept is revalidated (304), not fetched again, and the hand-off follows."""
    client = Answer("ok", s.client, etag='"c1"')
    code, _ = s.launch(client=client, updater=Answer("status", BIG_PAGE, 404))
    s.check(code == 1 and s.registry() == NOTHING_REGISTERED, "the first try recorded nothing")
    with DownloadServer({CLIENT_PATH: client, UPDATER_PATH: Answer("ok", s.updater)}) as server:
        code, _ = s.prefix.run(s.launcher)
        s.prefix.wait()
    s.conditions = server.conditions
    s.expect_conditions([(CLIENT_PATH, '"c1"', None), (UPDATER_PATH, None, None)])
    s.check(server.body_bytes == len(s.updater), f"only the updater's body was sent: "
            f"{server.body_bytes} bytes, the updater being {len(s.updater)}")
    s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") == s.client, "the kept client is intact")
    s.expect_installed_and_started(DEFAULT_DIR, code, server.requests, client_requested=True)


def signed_kept_file_refused(s):
    """A signed build revalidating a kept updater its pins refuse (signed by
    another key, its record matching) does not hand off to it."""
    s.trust_test_ca()
    s.prefix.set_install(s.probe, 1, DEFAULT_DIR.encode() + b"\0")
    foreign = (s.keys / "updater.other.exe").read_bytes()
    s.prefix.path(DEFAULT_DIR).mkdir(parents=True)
    s.prefix.path(DEFAULT_DIR + "\\updater.exe").write_bytes(foreign)
    s.prefix.keep_conditions(s.probe, "updater.exe",
                             hashlib.sha256(foreign).digest() + b'If-None-Match: "v1"\r\n')
    code, _ = s.launch(updater=Answer("ok", s.updater, etag='"v1"'))
    s.expect_conditions([(UPDATER_PATH, '"v1"', None)])
    s.check(code == 1, f"exit code {code} == 1")
    s.check(s.prefix.read(DEFAULT_DIR + "\\updater.exe") == foreign, "the kept file stays as it was")
    registry = s.registry()
    s.check(registry[PROTOCOL_NAME] is None and registry[COMMAND_NAME] is None,
            "nothing registered")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")


def nginx_revalidated(s):
    """Against nginx: the repeat run asks with the ETag and Last-Modified
    nginx sent, gets a 304 with no body byte and hands off to the kept updater."""
    nginx = NginxServer(s.prefix.root / "nginx")
    served = nginx.work / "html" / "client"
    served.mkdir(exist_ok=True)
    (served / "orvinta.exe").write_bytes(s.client)
    (served / "tmp_updater.bin").write_bytes(s.updater)
    with nginx:
        for run in (1, 2):
            if run == 2:
                s.forget_hand_off()
            code, _ = s.prefix.run(s.launcher)
            s.prefix.wait()
            log = nginx.log()
            requests = [("GET", entry["uri"], entry["agent"]) for entry in log]
            s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=run == 1)
            (nginx.work / "access.log").write_text("")
            if run == 1:
                first = log[-1]
                s.check(first["status"] == "200" and first["etag"] not in ("", "-"),
                        f"nginx sent the updater with an ETag: {first}")
    repeat = log[-1]
    s.check(repeat["status"] == "304" and repeat["body_bytes"] == "0",
            f"the repeat run got a 304 and no body byte: {repeat}")
    s.check(repeat["if_none_match"] == first["etag"],
            f"If-None-Match {repeat['if_none_match']} is the ETag nginx sent, {first['etag']}")
    s.check(repeat["if_modified_since"] not in ("", "-"),
            f"If-Modified-Since is sent too: {repeat['if_modified_since']}")


def plant_install(s):
    """Where a repeat run starts, without the first run: INSTALL recorded,
    the client and an updater in place, no conditions kept."""
    s.prefix.set_install(s.probe, 1, DEFAULT_DIR.encode() + b"\0")
    folder = s.prefix.path(DEFAULT_DIR)
    folder.mkdir(parents=True)
    (folder / "orvinta.exe").write_bytes(s.client)
    (folder / "updater.exe").write_bytes(s.updater)


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


def page_never_replaces_a_program(s):
    """A captive portal's page served with 200 in place of each program: on
    a first install no client is kept (the shortcut and the updater follow);
    on the next run the updater stays as it was, and nothing is started."""
    code, requests = s.launch(client=Answer("ok", BIG_PAGE))
    s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") is None, "no client kept")
    s.check(s.shortcut() is not None, "the shortcut is saved all the same")
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)
    s.expect_record(re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} refused -9 not a Windows program"),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    s.forget_hand_off()
    code, requests = s.launch(updater=Answer("ok", BIG_PAGE))
    s.check(code == 1 and requests == [("GET", UPDATER_PATH, AGENT)],
            f"exit code {code} == 1 after one request: {requests}")
    s.check(s.prefix.read(DEFAULT_DIR + "\\updater.exe") == s.updater, "the updater stays as it was")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")
    s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} refused -9 not a Windows program"),
                    "exit 1")


def nginx_resumed(s):
    """nginx answers the resume itself: a relay resets its first answer
    700,000 bytes in, and the launcher's Range and If-Range (with nginx's own
    ETag) get nginx's 206, which is spliced on byte-exact."""
    backend = harness.PORT + 3
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


def unreached(s, name, path, lines=1, verb="retried"):
    """Record lines of `name`'s download: `lines` attempts that found no
    connection (its host resolved nowhere but in the proxy), the last `verb`."""
    line = re.escape(f"{name} {s.url(path)} ")
    return [line + "retried -2 no connection: error 12007"] * (lines - 1) + \
        [line + verb + " -2 no connection: error 12007"]


def proxied_install(s):
    """Where only a proxy leads out, the direct connection cannot resolve
    the launcher's host. Without proxy settings the run ends at once, each
    download after three attempts; with them each download's second attempt
    goes, at once, through Squid: the install hands off, and a repeat run's
    If-None-Match passes through it to a 304."""
    code, requests = s.launch()
    s.check(code == 1 and requests == [], f"no proxy set: exit code {code}, requests {requests}")
    s.check(s.run_seconds < RUN_OVERHEAD_SECONDS,
            f"given up on at once: {s.run_seconds:.1f} s < {RUN_OVERHEAD_SECONDS} s")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH, 3, "failed"),
                    *unreached(s, "updater.exe", UPDATER_PATH, 3, "failed"), "exit 1")
    with SquidProxy(harness.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{harness.PROXY_PORT}")
        updater = Answer("ok", s.updater, etag='"p1"')
        s.expect_first_install(updater=updater)
        s.check(squid.log() == [("GET", s.url(CLIENT_PATH), "200"),
                                ("GET", s.url(UPDATER_PATH), "200")],
                f"both downloads went through the proxy: {squid.log()}")
        s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH),
                        kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                        *unreached(s, "updater.exe", UPDATER_PATH),
                        kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
        s.forget_hand_off()
        code, requests = s.launch(updater=updater)
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
        s.expect_conditions([(UPDATER_PATH, '"p1"', None)])
        s.check(squid.log()[-1:] == [("GET", s.url(UPDATER_PATH), "304")],
                f"the repeat run's 304 came through the proxy: {squid.log()}")
        s.expect_record(*unreached(s, "updater.exe", UPDATER_PATH),
                        re.escape(f"updater.exe {s.url(UPDATER_PATH)} revalidated {len(s.updater)}"),
                        handed_off())


def signed_proxied_install(s):
    """The signed build through the proxy, with CONNECT: the server's
    certificate (the test CA's, for the test host) and the pins are checked
    as on a direct connection."""
    s.trust_test_ca()
    s.tls = (s.keys / "proxied.pem", s.keys / "proxied.key")
    with SquidProxy(harness.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{harness.PROXY_PORT}")
        s.expect_first_install()
        tunnel = ("CONNECT", f"{harness.PROXIED_HOST}:{harness.TLS_PORT}", "200")
        s.check(squid.log() == [tunnel, tunnel], f"both downloads tunnelled: {squid.log()}")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH),
                    kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    *unreached(s, "updater.exe", UPDATER_PATH),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def proxy_not_needed(s):
    """Proxy settings change nothing where the direct connection works, nor
    after a direct attempt that got an answer (a 503): the proxy sees nothing."""
    with SquidProxy(harness.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{harness.PROXY_PORT}")
        code, requests = s.launch(updater=[Answer("status", b"busy", 503), Answer("ok", s.updater)])
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True,
                                       updater_requests=2)
        s.check(squid.log() == [], f"the proxy saw nothing: {squid.log()}")
    s.expect_record(kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    re.escape(f"updater.exe {s.url(UPDATER_PATH)} retried -2 HTTP 503"),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def proxied_sign_in_needed(s):
    """A proxy that asks for a sign-in (407) is an answer like any other
    4xx: not tried again, and recorded as it is."""
    sign_in = Answer("status", b"sign in", 407, headers=b'Proxy-Authenticate: Basic realm="office"\r\n')
    with DownloadServer({s.url(CLIENT_PATH): sign_in, s.url(UPDATER_PATH): sign_in},
                        port=harness.PROXY_PORT) as proxy:
        s.prefix.set_proxy(f"127.0.0.1:{harness.PROXY_PORT}")
        code, requests = s.launch()
    s.check(code == 1 and requests == [], f"exit code {code} == 1, nothing reached the server")
    s.check([path for _, path, _ in proxy.requests] == [s.url(CLIENT_PATH), s.url(UPDATER_PATH)],
            f"one request each through the proxy: {proxy.requests}")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH),
                    re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} failed -2 HTTP 407"),
                    *unreached(s, "updater.exe", UPDATER_PATH),
                    re.escape(f"updater.exe {s.url(UPDATER_PATH)} failed -2 HTTP 407"), "exit 1")


def recorded_directory(s):
    games = "C:\\Games\\ORVINTA"
    s.prefix.set_install(s.probe, 1, games.encode() + b"\0")
    code, requests = s.launch()
    s.expect_installed_and_started(games, code, requests, client_requested=False)
    s.check(s.prefix.read(games + "\\orvinta.exe") is None, "no client in the recorded directory")
    s.check(not s.prefix.path(DEFAULT_DIR).exists(), "nothing under Program Files (x86)")
    s.check(s.shortcut() is None, "no shortcut")


def updater_999_bytes(s):
    code, requests = s.launch(updater=Answer("ok", program_bytes(999)))
    s.check(code == 1, f"exit code {code} == 1")
    s.check(len(requests) == 2, f"client and updater requested: {requests}")
    s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")


def updater_1000_bytes(s):
    code, _ = s.launch(updater=Answer("ok", program_bytes(1000)))
    s.check(code == 1, f"exit code {code} == 1 (the hand-off fails: no program)")
    s.check(s.registry() == expected_registration(DEFAULT_DIR), "registration written and kept")


def code_page_1252(s):
    s.expect_first_install(locale="C")
    s.check(list(s.prefix.desktop().iterdir()) == [], "no shortcut on the desktop")


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
        s.check(sorted(p.name for p in s.prefix.path(DEFAULT_DIR).iterdir()) ==
                ["orvinta.exe", "updater.exe"], "no temporary file left behind")
        registry = s.registry()
        s.check(registry[PROTOCOL_NAME] is None and registry[COMMAND_NAME] is None,
                "nothing new registered")
        s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")
        line = re.escape(f"updater.exe {s.url(UPDATER_PATH)} ")
        retried = [line + "retried " + outcome.split(" ", 1)[1]] * (attempts - 1)
        s.expect_record(*retried, line + outcome, "exit 1")
    return scenario


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
    s.check(sorted(p.name for p in s.prefix.path(DEFAULT_DIR).iterdir()) ==
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


def planted_install(reg_type, data):
    def scenario(s):
        s.prefix.set_install(s.probe, reg_type, data)
        s.expect_first_install()
        s.check(s.shortcut() is not None, "the shortcut is saved")
    return scenario


def dll_planting(s):
    """A wininet.dll beside the launcher, preferred over Wine's own, is never loaded."""
    build = s.launcher_exe.parent
    folder = s.launcher.parent
    shutil.copy2(build / "planted" / "wininet.dll", folder / "wininet.dll")
    shutil.copy2(build / "static_wininet_importer.exe", folder / "static_wininet_importer.exe")
    prefer_planted = {"WINEDLLOVERRIDES": "wininet=n,b"}
    marker = s.prefix.path("C:\\planted_wininet_loaded.txt")
    # The control: a load-time import of wininet does load the planted DLL here.
    s.prefix.run(folder / "static_wininet_importer.exe", extra_env=prefer_planted)
    s.prefix.wait()
    s.check(marker.exists(), "control: a load-time wininet import loads the planted DLL")
    if marker.exists():
        marker.unlink()
    s.expect_first_install(env=prefer_planted)
    s.check(not marker.exists(), "the launcher never loaded the planted wininet.dll")


def system_dll_loaders(s):
    """The System32-only loaders take System32's wininet, wintrust, crypt32 and
    version even with a copy of each beside the program, preferred over Wine's
    own, in a process that has not restricted its DLL directories.

    system_dll_report.exe runs the loaders alone: in the launcher, Wine's own
    DLLs load version.dll before WinMain, so a loader's choice cannot show.
    """
    dlls = ["wininet", "wintrust", "crypt32", "version"]
    folder = s.launcher.parent
    report = folder / "system_dll_report.exe"
    shutil.copy2(s.launcher_exe.parent / "system_dll_report.exe", report)
    for dll in dlls:
        shutil.copy2(s.launcher_exe.parent / "planted" / f"{dll}.dll", folder / f"{dll}.dll")
    prefer_planted = {"WINEDLLOVERRIDES": ",".join(dlls) + "=n,b"}
    markers = {dll: s.prefix.path(f"C:\\planted_{dll}_loaded.txt") for dll in dlls}

    def report_lines(*args):
        _, output = s.prefix.run(report, args, extra_env=prefer_planted)
        s.prefix.wait()
        return dict(line.strip().split(" ", 1) for line in output.splitlines() if " " in line)

    control = report_lines("plain")
    for dll, marker in markers.items():
        s.check(marker.exists(), f"control: a plain LoadLibraryA takes the planted {dll}.dll "
                                 f"({control.get(dll + '.dll')})")
        marker.unlink(missing_ok=True)
    loaded = {}
    for loader in ("wininet", "trust", "version"):
        loaded.update(report_lines(loader))
    system = loaded.get("system", "?").lower()
    for dll, marker in markers.items():
        where = loaded.get(f"{dll}.dll", "?").lower()
        s.check(where == f"{system}\\{dll}.dll", f"{dll}.dll loaded from {where}")
        s.check(not marker.exists(), f"the planted {dll}.dll never loaded")


def signed_dll_planting(s):
    """The signed build loads wintrust.dll from System32 only: with a planted
    copy preferred (see dll_planting), it still verifies and installs.

    crypt32.dll is loaded the same way, but cannot be shown here: Wine's own
    schannel, started by the HTTPS connection, takes a planted crypt32.dll
    from the launcher's folder, whatever the process's DLL directories say.
    """
    shutil.copy2(s.launcher_exe.parent / "planted" / "wintrust.dll", s.launcher.parent)
    s.trust_test_ca()
    s.expect_first_install(env={"WINEDLLOVERRIDES": "wintrust=n,b"})
    s.check(not s.prefix.path("C:\\planted_wintrust_loaded.txt").exists(),
            "the launcher never loaded the planted wintrust.dll")


def signed_first_install(s):
    s.trust_test_ca()
    first_install(s)


def signed_client_refused(s):
    """An unsigned client is not kept; the signed updater still takes over."""
    s.trust_test_ca()
    code, requests = s.launch(client=Answer("ok", s.unsigned_client))
    s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") is None, "no client kept")
    s.check(s.shortcut() is not None, "the shortcut is saved all the same")
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)
    s.expect_record(re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} refused -6 not signed by a "
                              "pinned key"),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def signed_older_updater(s):
    """A repeat run served an older signed updater (1.1, at the build's floor)
    keeps the verified newer one (1.2) and starts it: that is no failure."""
    s.trust_test_ca()
    s.expect_first_install()
    s.prefix.delete_key("HKCR\\orvinta", s.launcher)
    s.prefix.path(DEFAULT_DIR + "\\updater_started.txt").unlink()
    older = (s.keys / "updater-1.1.pinned.exe").read_bytes()
    code, requests = s.launch(updater=Answer("ok", older))
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} older {len(older)}"),
                    handed_off())
    s.check(sorted(p.name for p in s.prefix.path(DEFAULT_DIR).iterdir()) ==
            ["orvinta.exe", "updater.exe", "updater_started.txt"], "nothing stray left behind")


def signed_updater_refused(file_name):
    """On a first install, a signed file that is not a current updater (the
    client, or an updater below the build's floor) is neither kept nor
    started, and nothing is registered."""
    def scenario(s):
        s.trust_test_ca()
        code, _ = s.launch(updater=Answer("ok", (s.keys / file_name).read_bytes()))
        s.check(code == 1, f"exit code {code} == 1")
        s.check(sorted(p.name for p in s.prefix.path(DEFAULT_DIR).iterdir()) == ["orvinta.exe"],
                "no updater kept, no temporary file left")
        s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
        s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")
    return scenario


def signed_untrusted_server(s, error="120(45|57)"):
    """A server whose certificate no trusted root issued gets nothing run,
    and is not tried again: another attempt would meet the same certificate.
    (Wine reports an untrusted root as 12045 or, failing the revocation
    check first, 12057.)"""
    code, _ = s.launch()
    s.check(code == 1, f"exit code {code} == 1")
    s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") is None, "no client")
    s.check(s.prefix.read(DEFAULT_DIR + "\\updater.exe") is None, "no updater")
    s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")
    s.expect_record(*(re.escape(f"{name} {s.url(path)} failed -2 no connection: error ") + error
                      for name, path in (("orvinta.exe", CLIENT_PATH), ("updater.exe", UPDATER_PATH))),
                    "exit 1")


def signed_wrong_host(s):
    """A server whose certificate the trusted CA issued for another host name
    gets nothing run."""
    s.trust_test_ca()
    s.tls = (s.keys / "otherhost.pem", s.keys / "otherhost.key")
    signed_untrusted_server(s, error="12038")


def signed_redirect_to_http(s):
    """An https server that redirects to plain http gets nothing kept, even
    a file the pinned key signed: anyone on the path could have sent it."""
    s.trust_test_ca()
    plain = "http://127.0.0.1:%d%s" % (harness.PORT, UPDATER_PATH)
    with DownloadServer({UPDATER_PATH: Answer("ok", s.updater)}) as downgraded:
        code, requests = s.launch(updater=Answer("redirect", plain.encode()))
    s.check(code == 1, f"exit code {code} == 1")
    s.check(downgraded.requests == [("GET", UPDATER_PATH, AGENT)],
            f"the redirect was followed to plain http: {downgraded.requests}")
    s.check(s.prefix.read(DEFAULT_DIR + "\\updater.exe") is None, "no updater kept")
    s.check(s.registry() == NOTHING_REGISTERED, "nothing registered")
    s.check(s.prefix.updater_record(DEFAULT_DIR) is None, "nothing started")


def altered(s):
    """The signed updater with one byte of its code changed after signing."""
    body = bytearray(s.updater)
    body[1500] ^= 0x01
    return Answer("ok", bytes(body))


BIG_PAGE = b"<html>" + b"e" * 5000 + b"</html>"
SCENARIOS = {
    "first_install": first_install,
    "repeat_run": repeat_run,
    "recorded_directory": recorded_directory,
    "updater_999_bytes": updater_999_bytes,
    "updater_1000_bytes": updater_1000_bytes,
    "code_page_1252": code_page_1252,
    "updater_404": updater_fault(Answer("status", BIG_PAGE, 404), "failed -2 HTTP 404"),
    "updater_500": updater_fault(Answer("status", BIG_PAGE, 500), "failed -2 HTTP 500", attempts=3),
    "updater_retry_after_an_hour": updater_fault(
        Answer("status", BIG_PAGE, 503, headers=b"Retry-After: 3600\r\n"),
        r"failed -2 HTTP 503 \(retry after 3600 s\)"),
    "updater_cut": updater_fault(Answer("cut", b"c" * 5000),
                                 r"failed -4 cut short: \d+ of 10000 bytes", attempts=3),
    # A reset may reach WinINet as an early end or as a failed read.
    "updater_reset": updater_fault(Answer("reset", b"r" * 5000),
                                   r"failed -4 (cut short: \d+ of 10000|read failed after \d+) bytes",
                                   attempts=3),
    "updater_resumed": resumed(2250000, 700000),
    "updater_transient_faults": updater_transient_faults,
    "page_never_replaces_a_program": page_never_replaces_a_program,
    "nginx_resumed": nginx_resumed,
    "signed_updater_resumed": resumed(0, 1300000),
    "proxied_install": proxied_install,
    "signed_proxied_install": signed_proxied_install,
    "proxy_not_needed": proxy_not_needed,
    "proxied_sign_in_needed": proxied_sign_in_needed,
    "updater_malformed_length": updater_fault(
        Answer("raw", b"HTTP/1.1 200 OK\r\nContent-Length: 10000x\r\n\r\n" + b"m" * 10000),
        "failed -2 malformed Content-Length"),
    "updater_disk_full": updater_disk_full,
    "server_down": updater_fault(None, r"failed -2 no connection: error 12029", server=False,
                                 attempts=3),
    "client_stalled": client_stalled,
    "install_dword": planted_install(4, b"\x01\x00\x00\x00"),
    "install_1025_bytes": planted_install(1, b"C" * 1024 + b"\0"),
    "install_empty": planted_install(1, b""),
    "dll_planting": dll_planting,
    "system_dll_loaders": system_dll_loaders,
    "signed_first_install": signed_first_install,
    "signed_client_refused": signed_client_refused,
    "signed_updater_altered": updater_fault(altered, "refused -6 not signed by a pinned key"),
    "signed_untrusted_server": signed_untrusted_server,
    "signed_redirect_to_http": signed_redirect_to_http,
    "signed_dll_planting": signed_dll_planting,
    "signed_older_updater": signed_older_updater,
    "signed_client_as_updater": signed_updater_refused("client.pinned.exe"),
    "signed_updater_below_floor": signed_updater_refused("updater-1.0.pinned.exe"),
    "signed_wrong_host": signed_wrong_host,
    "signed_updater_stalled": updater_fault(lambda s: Answer("stall", s.updater),
                                            r"failed -4 stalled after \d+ bytes"),
    "etag_revalidated": revalidated(etag='"v1"'),
    "weak_etag_revalidated": revalidated(etag='W/"67a-5f1"',
                                         last_modified="Tue, 08 Dec 2026 10:00:00 GMT"),
    "last_modified_revalidated": revalidated(last_modified="Tue, 08 Dec 2026 10:00:00 GMT"),
    "updater_changed": updater_changed,
    "updater_changed_on_disk": updater_changed_on_disk,
    "updater_304_unasked": updater_304_unasked,
    "first_install_retried": first_install_retried,
    "signed_revalidated": revalidated(etag='"s1"'),
    "signed_kept_file_refused": signed_kept_file_refused,
    "nginx_revalidated": nginx_revalidated,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--winerun", required=True)
    parser.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    parser.add_argument("--group", type=int, choices=(0, 1), default=0,
                        help="the launchers and ports of this e2e group (two run at once)")
    args = parser.parse_args()
    harness.use_group(args.group)
    print(f"scenario {args.scenario}")
    s = Scenario(args, args.scenario)
    try:
        SCENARIOS[args.scenario](s)
    finally:
        s.prefix.kill()
    passed = "passed" if not s.failures else "FAILED"
    print(f"scenario {args.scenario} {passed}: {len(s.failures)} failed checks")
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
