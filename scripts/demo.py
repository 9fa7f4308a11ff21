#!/usr/bin/env python3
"""Shows the launcher at work, with the record each run leaves, under Wine
against a local download server that serves a sample client and updater: a
first install, then a repeat run whose unchanged updater the server answers
with 304 Not Modified; a new updater broken off and the network then gone,
continued by the next run; then a server that stops sending the updater,
given up on by a build with a short window; then a signed build (HTTPS, pinned signer, updater floor 1.1):
the release check on the files it will be served, its refusal of an altered
updater, a signed updater 1.2 taking over, and an older signed 1.1 left
unkept while the 1.2 on disk is started.

Usage: demo.py BUILD_DIR
"""
import hashlib
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from download_server import Answer, DownloadServer  # noqa: E402
from endpoints import TLS_PORT  # noqa: E402
from harness import (COMMAND_NAME, DEFAULT_DIR, INSTALL_NAME, PROTOCOL_NAME,  # noqa: E402
                     SHORTCUT_NAME, WINDOW_SECONDS, Prefix, link_points_at)

REG_TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD"}


def progress(message, work):
    """Runs work() while printing a dot every two seconds."""
    print(message, end="", flush=True)
    done = threading.Event()

    def dots():
        while not done.wait(2):
            print(".", end="", flush=True)
    ticker = threading.Thread(target=dots, daemon=True)
    ticker.start()
    start = time.monotonic()
    try:
        return work()
    finally:
        done.set()
        ticker.join()
        print(f" done ({time.monotonic() - start:.0f} s)")


def short_hash(data):
    return hashlib.sha256(data).hexdigest()[:12]


def report(title, prefix, probe, served, code, server):
    print(f"\n=== {title} ===")
    print("Download server saw:")
    requests = server.requests
    for (method, path, agent), (_, inm, ims), (_, ranged, if_range), revalidated, (_, status, size) \
            in zip(requests, server.conditions, server.ranges, server.revalidated, server.sent):
        asked = "".join(f", {name}: {value}" for name, value in
                        (("If-None-Match", inm), ("If-Modified-Since", ims), ("Range", ranged),
                         ("If-Range", if_range)) if value)
        whole = len(served.get(path, b""))
        sent = ("304 Not Modified: revalidated, 0 bytes" if revalidated else
                "no answer: the connection dropped" if (status, size) == (200, 0) and whole else
                f"{status}, {size} of {whole} bytes" +
                (f", sha256 {short_hash(served[path])}" if size == whole else
                 ": the rest" if status == 206 else ", then no more"))
        print(f"  {method} {path}  (User-Agent: {agent}{asked})  -> {sent}")
    if not requests:
        print("  no requests")
    print(f"Launcher exit: {code}" + ("  (its process became the updater)" if code == 0 else
                                      "  (no hand-off)"))
    registry = prefix.registry(probe)
    install = registry.get(INSTALL_NAME)
    install_dir = install[1].rstrip(b"\0").decode("latin-1") if install else None
    print("Files:")
    if install_dir:
        folder = prefix.path(install_dir)
        for item in sorted(folder.iterdir()):
            print(f"  {install_dir}\\{item.name}  {item.stat().st_size} bytes, sha256 "
                  f"{short_hash(item.read_bytes())}")
    link = prefix.desktop() / SHORTCUT_NAME
    if link.is_file():
        target = install_dir + "\\orvinta.exe" if install_dir else "?"
        points = "points at " + target if link_points_at(link.read_bytes(), target) else \
            "target not recognised"
        print(f"Desktop shortcut: {link.name}  ({points})")
    else:
        print("Desktop shortcut: none")
    print("Registry (the launcher's view: 32-bit for the shipped build):")
    for name in (INSTALL_NAME, PROTOCOL_NAME, COMMAND_NAME):
        key, value = name.split("|")
        shown = f"{key}  [{value or '(default)'}]"
        entry = registry.get(name)
        if entry is None:
            print(f"  {shown} = (missing)")
        else:
            print(f"  {shown} = {REG_TYPES.get(entry[0], entry[0])} "
                  f"'{entry[1][:-1].decode('latin-1')}' + NUL")
    record = prefix.updater_record(install_dir) if install_dir else None
    print("Updater started as: " + (" ".join('"%s"' % a.split("=", 1)[1] for a in record[1:]
                                             if a.startswith("argv["))
                                    if record else "not started"))
    print("Record of the run (LastRun):")
    for line in prefix.last_run(probe) or ["(none)"]:
        print("  " + line)


def main():
    build = Path(sys.argv[1]).resolve()
    launcher = build / "OrvintaLauncher.exe"
    probe = build / "tests" / "e2e" / "registry_probe.exe"
    client = (build / "tests" / "e2e" / "sample_client.exe").read_bytes()
    updater = (build / "tests" / "e2e" / "recording_updater.exe").read_bytes()
    served = {"/client/orvinta.exe": client, "/client/tmp_updater.bin": updater}

    prefix = Prefix(build / "e2e", "demo", ROOT / "scripts" / "winerun")
    progress("Preparing a throwaway Wine prefix (the first time takes about 20 s)",
             prefix.create)
    try:
        exe = prefix.install_launcher(launcher)
        print(f"Launcher: {launcher.name}, {launcher.stat().st_size} bytes, run from "
              f"C:\\users\\{prefix.desktop().parent.name}\\Downloads")
        def run(title, launcher_exe, served_now, tls=None, kind="ok", etag=None, breaks=(),
                then=()):
            # Forget the previous run's updater record.
            for record in prefix.drive_c.glob("Program Files (x86)/*/*/updater_started.txt"):
                record.unlink()
            # `then`: the answers to each later request for a path.
            with DownloadServer({path: [Answer(kind, body, etag=etag, breaks=breaks), *then]
                                 for path, body in served_now.items()}, tls=tls) as server:
                code, _ = progress(f"{title}: running the launcher under Wine",
                                   lambda: prefix.run(launcher_exe))
                prefix.wait()
            report(title, prefix, probe, served_now, code, server)

        # The server sends an ETag with each file, as web servers do.
        etag = '"' + short_hash(updater) + '"'
        run("Run 1: first install", exe, served, etag=etag)
        run("Run 2: repeat run, nothing changed on the server", exe, served, etag=etag)

        # A new 2.25 MB updater whose connection is reset 700,000 bytes in,
        # and then the network is gone: the run keeps what came, and the next
        # one asks only for the rest under its ETag.
        served = dict(served, **{"/client/tmp_updater.bin":
                                 updater + b"\0" * (2250000 - len(updater))})
        run("Run 3: a new updater, its connection reset 700,000 bytes in, then no network", exe,
            served, etag='"2250000"', breaks=[700000], then=[Answer("drop")] * 2)
        run("Run 3, again: the next run continues the updater", exe, served, etag='"2250000"')

        # A server that stops sending: the shipped build waits a minute
        # (DOWNLOAD_STALL_SECONDS=60) before it gives up, so this run uses the
        # same launcher built with a short window.
        updater_path = DEFAULT_DIR + "\\updater.exe"
        short_window_exe = prefix.install_launcher(
            build / "tests" / "e2e" / "OrvintaLauncherE2E.exe", "OrvintaLauncherShortWindow.exe")
        print(f"\nShort-window build: {short_window_exe.name}, the same launcher built with "
              f"DOWNLOAD_STALL_SECONDS={WINDOW_SECONDS} (the shipped default is 60)")
        before = prefix.read(updater_path)
        start = time.monotonic()
        run("Run 4: the server sends 5000 bytes of the updater, then nothing", short_window_exe,
            {"/client/tmp_updater.bin": updater}, kind="stall")
        print(f"Given up on: the run ended after {time.monotonic() - start:.0f} s, Wine's start "
              f"included (the window is {WINDOW_SECONDS} s; the server would have held on for "
              f"a minute). "
              + ("updater.exe is still the one Run 3 left; without a whole updater the "
                 "launcher writes nothing to the registry but its record (the rest is Run 3's) and "
                 "starts no updater"
                 if prefix.read(updater_path) == before else "UPDATER.EXE CHANGED"))

        # The publisher's build trusts only its current signed programs.
        keys = build / "tests" / "signing"
        signed_exe = prefix.install_launcher(
            build / "tests" / "e2e" / "OrvintaLauncherSignedE2E.exe", "OrvintaLauncherSigned.exe")
        prefix.trust_root(probe, keys / "ca.der")
        pin = (keys / "pinned.pin").read_text().strip()
        altered = bytearray((keys / "updater.pinned.exe").read_bytes())
        altered[1500] ^= 0x01
        altered_file = prefix.root / "tmp_updater.altered.bin"
        altered_file.write_bytes(bytes(altered))
        print(f"\nSigned build: {signed_exe.name}, https://localhost:{TLS_PORT}, pin "
              f"{pin[:16]}..., updater floor 1.1 (the test CA is trusted by this prefix only)")

        print("\n=== Release check on the files the signed build will be served ===")
        checks = [
            ["--updater", altered_file],
            ["--updater", keys / "updater.pinned.exe", "--client", keys / "client.pinned.exe"],
            ["--updater", keys / "updater-1.1.pinned.exe",
             "--live-updater", keys / "updater.pinned.exe"],
        ]
        env = dict(os.environ, RELEASE_CHECK_EXE=str(build / "release_check.exe"),
                   RELEASE_CHECK_WINE=str(prefix.root))
        for files in checks:
            given = " ".join(f"{flag} {Path(name).name}" for flag, name in zip(files[::2], files[1::2]))
            print(f"$ scripts/check-release.sh --pins {pin[:8]}... --updater-min-version 1.1 {given}")
            result = subprocess.run(["bash", "scripts/check-release.sh", "--pins", pin,
                                     "--updater-min-version", "1.1", *map(str, files)],
                                    cwd=ROOT, env=env, capture_output=True, text=True,
                                    timeout=300, stdin=subprocess.DEVNULL)
            print((result.stdout + result.stderr).rstrip().replace(pin, pin[:16] + "..."))
            print(f"(exit {result.returncode})")

        tls = (keys / "localhost.pem", keys / "localhost.key")
        before = prefix.read(updater_path)
        run("Run 5: signed build, served an updater altered after signing", signed_exe,
            {"/client/tmp_updater.bin": bytes(altered)}, tls=tls)
        print("Refused: updater.exe is byte-identical to the one Run 3 left"
              if prefix.read(updater_path) == before else "NOT REFUSED: updater.exe changed")

        current = (keys / "updater.pinned.exe").read_bytes()
        run("Run 6: signed build, served the signed updater 1.2", signed_exe,
            {"/client/tmp_updater.bin": current}, tls=tls)
        print("Kept: updater.exe is the signed 1.2 (the unsigned one on disk held nothing back)"
              if prefix.read(updater_path) == current else "NOT KEPT: updater.exe is not 1.2")

        run("Run 7: signed build, served an older signed updater 1.1", signed_exe,
            {"/client/tmp_updater.bin": (keys / "updater-1.1.pinned.exe").read_bytes()}, tls=tls)
        print("Not kept: updater.exe is still the signed 1.2, and that is the updater started"
              if prefix.read(updater_path) == current else "ROLLED BACK: updater.exe changed")
    finally:
        prefix.kill()


if __name__ == "__main__":
    main()
