"""Behind a proxy: where only the system's proxy settings lead out, and
where they are not needed."""
import re

import endpoints
from scenario import CLIENT_PATH, RUN_OVERHEAD_SECONDS, UPDATER_PATH, handed_off, kept, unreached
from harness import DEFAULT_DIR
from download_server import Answer, DownloadServer
from server_processes import SquidProxy


def proxied_install(s):
    """Where only a proxy leads out, the direct connection cannot resolve
    the launcher's host. Without proxy settings the run ends at once, each
    download after three attempts; with them each download's second attempt
    goes, at once, through Squid: the install hands off, a repeat run's
    If-None-Match passes through it to a 304, and a proxied 503 is tried
    again through the proxy."""
    code, requests = s.launch()
    s.check(code == 1 and requests == [], f"no proxy set: exit code {code}, requests {requests}")
    s.check(s.run_seconds < RUN_OVERHEAD_SECONDS,
            f"given up on at once: {s.run_seconds:.1f} s < {RUN_OVERHEAD_SECONDS} s")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH, 3, "failed"),
                    *unreached(s, "updater.exe", UPDATER_PATH, 3, "failed"), "exit 1")
    with SquidProxy(endpoints.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{endpoints.PROXY_PORT}")
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
        # Once through the proxy, the download stays there: the attempt
        # after a proxied 503 goes through it again, never direct.
        s.forget_hand_off()
        code, requests = s.launch(updater=[Answer("status", b"busy", 503), updater])
        s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False,
                                       updater_requests=2)
        s.check(squid.log()[-2:] == [("GET", s.url(UPDATER_PATH), "503"),
                                     ("GET", s.url(UPDATER_PATH), "304")],
                f"the attempt after the proxied 503 went through the proxy: {squid.log()}")
        s.expect_record(*unreached(s, "updater.exe", UPDATER_PATH),
                        re.escape(f"updater.exe {s.url(UPDATER_PATH)} retried -2 HTTP 503"),
                        re.escape(f"updater.exe {s.url(UPDATER_PATH)} revalidated {len(s.updater)}"),
                        handed_off())


def signed_proxied_install(s):
    """The signed build through the proxy, with CONNECT: the server's
    certificate (the test CA's, for the test host) and the pins are checked
    as on a direct connection."""
    s.trust_test_ca()
    s.tls = (s.keys / "proxied.pem", s.keys / "proxied.key")
    with SquidProxy(endpoints.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{endpoints.PROXY_PORT}")
        s.expect_first_install()
        tunnel = ("CONNECT", f"{endpoints.PROXIED_HOST}:{endpoints.TLS_PORT}", "200")
        s.check(squid.log() == [tunnel, tunnel], f"both downloads tunnelled: {squid.log()}")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH),
                    kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    *unreached(s, "updater.exe", UPDATER_PATH),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


def proxy_not_needed(s):
    """Proxy settings change nothing where the direct connection works, nor
    after a direct attempt that got an answer (a 503): the proxy sees nothing."""
    with SquidProxy(endpoints.PROXY_PORT) as squid:
        s.prefix.set_proxy(f"127.0.0.1:{endpoints.PROXY_PORT}")
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
                        port=endpoints.PROXY_PORT) as proxy:
        s.prefix.set_proxy(f"127.0.0.1:{endpoints.PROXY_PORT}")
        code, requests = s.launch()
    s.check(code == 1 and requests == [], f"exit code {code} == 1, nothing reached the server")
    s.check([path for _, path, _ in proxy.requests] == [s.url(CLIENT_PATH), s.url(UPDATER_PATH)],
            f"one request each through the proxy: {proxy.requests}")
    s.expect_record(*unreached(s, "orvinta.exe", CLIENT_PATH),
                    re.escape(f"orvinta.exe {s.url(CLIENT_PATH)} failed -2 HTTP 407"),
                    *unreached(s, "updater.exe", UPDATER_PATH),
                    re.escape(f"updater.exe {s.url(UPDATER_PATH)} failed -2 HTTP 407"), "exit 1")


SCENARIOS = {
    "proxied_install": proxied_install,
    "signed_proxied_install": signed_proxied_install,
    "proxy_not_needed": proxy_not_needed,
    "proxied_sign_in_needed": proxied_sign_in_needed,
}
