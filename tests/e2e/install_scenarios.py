"""Install, registration and repeat runs: what a run leaves on the machine,
and what a later run asks the server with."""
import os
import re

from scenario import (AGENT, BIG_PAGE, CLIENT_PATH, NOTHING_REGISTERED, UPDATER_PATH, handed_off,
                      kept)
from harness import DEFAULT_DIR, SHORTCUT_NAME, expected_registration, link_points_at
from download_server import Answer, DownloadServer, program_bytes
from server_processes import NginxServer


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


def launches_at_once(s):
    """Three launchers started together on a clean machine, as impatient
    double-clicks start them: one installs and hands off; the others end at
    once with exit 1 and change nothing. One client and one updater are
    fetched, one updater started, nothing stray is left, and the record is
    that of the run that handed off."""
    answers = {CLIENT_PATH: Answer("ok", s.client), UPDATER_PATH: Answer("ok", s.updater)}
    with DownloadServer(answers, tls=s.tls) as server:
        launchers = [s.prefix.start(s.launcher) for _ in range(3)]
        codes = sorted(launcher.wait(timeout=120) for launcher in launchers)
        s.prefix.wait()
    s.check(codes == [0, 1, 1], f"one hand-off, two at once ended: exit codes {codes}")
    s.check(server.requests == [("GET", CLIENT_PATH, AGENT), ("GET", UPDATER_PATH, AGENT)],
            f"one client and one updater fetched: {server.requests}")
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing stray in the folder: {s.install_folder()}")
    s.check(s.registry() == expected_registration(DEFAULT_DIR), "the registration is whole")
    s.expect_record(kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


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
    s.check(s.install_folder() == ["orvinta.exe"],
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


def planted_install(reg_type, data):
    def scenario(s):
        s.prefix.set_install(s.probe, reg_type, data)
        s.expect_first_install()
        s.check(s.shortcut() is not None, "the shortcut is saved")
    return scenario


SCENARIOS = {
    "first_install": first_install,
    "launches_at_once": launches_at_once,
    "repeat_run": repeat_run,
    "recorded_directory": recorded_directory,
    "updater_999_bytes": updater_999_bytes,
    "updater_1000_bytes": updater_1000_bytes,
    "code_page_1252": code_page_1252,
    "install_dword": planted_install(4, b"\x01\x00\x00\x00"),
    "install_1025_bytes": planted_install(1, b"C" * 1024 + b"\0"),
    "install_empty": planted_install(1, b""),
    "etag_revalidated": revalidated(etag='"v1"'),
    "weak_etag_revalidated": revalidated(etag='W/"67a-5f1"',
                                         last_modified="Tue, 08 Dec 2026 10:00:00 GMT"),
    "last_modified_revalidated": revalidated(last_modified="Tue, 08 Dec 2026 10:00:00 GMT"),
    "updater_changed": updater_changed,
    "updater_changed_on_disk": updater_changed_on_disk,
    "updater_304_unasked": updater_304_unasked,
    "first_install_retried": first_install_retried,
    "signed_revalidated": revalidated(etag='"s1"'),
    "nginx_revalidated": nginx_revalidated,
}
