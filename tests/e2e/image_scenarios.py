"""The image and its loading: only a program replaces a program, and the
system DLLs come from System32 only."""
import re
import shutil
import subprocess

from scenario import AGENT, BIG_PAGE, CLIENT_PATH, UPDATER_PATH, handed_off, kept
from harness import DEFAULT_DIR
from download_server import Answer


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


def launcher_signed_hands_off(s):
    """The launcher signed as a publisher signs it (osslsigncode, with its
    chain) installs and hands off like the unsigned one, and removing the
    signature gives back the very bytes that were built."""
    built = s.launcher.read_bytes()
    signed = s.launcher.with_name("OrvintaLauncher.signed.exe")
    stripped = s.launcher.with_name("OrvintaLauncher.stripped.exe")
    subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-certs", s.keys / "pinned.pem",
                    "-ac", s.keys / "ca.pem", "-key", s.keys / "pinned.key",
                    "-n", "Orvinta Launcher", "-in", s.launcher, "-out", signed],
                   check=True, stdout=subprocess.DEVNULL)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", s.keys / "ca.pem",
                               "-in", signed], capture_output=True, text=True)
    s.check(verified.returncode == 0 and len(signed.read_bytes()) > len(built),
            f"the launcher is signed up to the test CA: {verified.stdout.strip()[-120:]!r}")
    subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped],
                   check=True, stdout=subprocess.DEVNULL)
    s.check(stripped.read_bytes() == built, "without its signature it is the built launcher")
    stripped.unlink()
    s.launcher.unlink()
    signed.rename(s.launcher)
    s.expect_first_install()
    s.expect_record(kept(s, "orvinta.exe", CLIENT_PATH, s.client),
                    kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())


SCENARIOS = {
    "page_never_replaces_a_program": page_never_replaces_a_program,
    "dll_planting": dll_planting,
    "system_dll_loaders": system_dll_loaders,
    "signed_dll_planting": signed_dll_planting,
    "launcher_signed_hands_off": launcher_signed_hands_off,
}
