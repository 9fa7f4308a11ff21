#!/usr/bin/env python3
"""Shows the launcher at work: a first install, then a repeat run, under Wine
against a local download server that serves a sample client and updater.

Usage: demo.py BUILD_DIR
"""
import hashlib
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from harness import (COMMAND_NAME, INSTALL_NAME, PROTOCOL_NAME, SHORTCUT_NAME,  # noqa: E402
                     Answer, DownloadServer, Prefix, link_points_at)

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


def report(title, prefix, probe, served, code, requests):
    print(f"\n=== {title} ===")
    print("Download server saw:")
    for method, path, agent in requests:
        size = len(served.get(path, b""))
        print(f"  {method} {path}  (User-Agent: {agent})  -> {size} bytes, sha256 {short_hash(served[path])}")
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
    print("Registry (32-bit view):")
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
    print("Updater started as: " + (" ".join('"%s"' % a.split("=", 1)[1] for a in record[1:])
                                    if record else "not started"))


def main():
    build = Path(sys.argv[1]).resolve()
    launcher = build / "OrvintaLauncher.exe"
    probe = build / "tests" / "e2e" / "registry_probe.exe"
    client = (build / "tests" / "e2e" / "sample_client.exe").read_bytes()
    updater = (build / "tests" / "e2e" / "recording_updater.exe").read_bytes()
    served = {"/client/orvinta.exe": client, "/client/tmp_updater.bin": updater}
    answers = {path: Answer("ok", body) for path, body in served.items()}

    prefix = Prefix(build / "e2e", "demo", ROOT / "scripts" / "winerun")
    progress("Preparing a throwaway Wine prefix (the first time takes about 20 s)",
             prefix.create)
    try:
        exe = prefix.install_launcher(launcher)
        print(f"Launcher: {launcher.name}, {launcher.stat().st_size} bytes, run from "
              f"C:\\users\\{prefix.desktop().parent.name}\\Downloads")
        for title in ("Run 1: first install", "Run 2: repeat run"):
            # Forget the previous run's updater record.
            for record in prefix.drive_c.glob("Program Files (x86)/*/*/updater_started.txt"):
                record.unlink()
            with DownloadServer(answers) as server:
                code, _ = progress(f"{title}: running the launcher under Wine",
                                   lambda: prefix.run(exe))
                prefix.wait()
            report(title, prefix, probe, served, code, server.requests)
    finally:
        prefix.kill()


if __name__ == "__main__":
    main()
