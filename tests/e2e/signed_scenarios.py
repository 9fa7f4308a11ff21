"""The signed build: HTTPS, the pinned signer, the program's name, floor and
version."""
import hashlib
import re

import endpoints
from scenario import (AGENT, CLIENT_PATH, NOTHING_REGISTERED, UPDATER_PATH, handed_off, kept,
                      updater_fault)
from harness import COMMAND_NAME, DEFAULT_DIR, PROTOCOL_NAME
from download_server import Answer, DownloadServer
from install_scenarios import first_install


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
    s.check(s.install_folder() ==
            ["orvinta.exe", "updater.exe", "updater_started.txt"], "nothing stray left behind")


def signed_updater_refused(file_name):
    """On a first install, a signed file that is not a current updater (the
    client, or an updater below the build's floor) is neither kept nor
    started, and nothing is registered."""
    def scenario(s):
        s.trust_test_ca()
        code, _ = s.launch(updater=Answer("ok", (s.keys / file_name).read_bytes()))
        s.check(code == 1, f"exit code {code} == 1")
        s.check(s.install_folder() == ["orvinta.exe"],
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
    plain = "http://127.0.0.1:%d%s" % (endpoints.PORT, UPDATER_PATH)
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


SCENARIOS = {
    "signed_first_install": signed_first_install,
    "signed_client_refused": signed_client_refused,
    "signed_updater_altered": updater_fault(altered, "refused -6 not signed by a pinned key"),
    "signed_untrusted_server": signed_untrusted_server,
    "signed_redirect_to_http": signed_redirect_to_http,
    "signed_older_updater": signed_older_updater,
    "signed_client_as_updater": signed_updater_refused("client.pinned.exe"),
    "signed_updater_below_floor": signed_updater_refused("updater-1.0.pinned.exe"),
    "signed_wrong_host": signed_wrong_host,
    "signed_kept_file_refused": signed_kept_file_refused,
}
