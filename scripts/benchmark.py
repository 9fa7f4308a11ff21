#!/usr/bin/env python3
"""Prints the launcher's figures: size, download speed against a bare WinINet
loop, working set during a 200 MB download, and start-to-hand-off time.

Usage: benchmark.py BUILD_DIR
Figures only: nothing here passes or fails.
"""
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from harness import Answer, DownloadServer, Prefix  # noqa: E402

CLIENT_MB = int(os.environ.get("BENCHMARK_CLIENT_MB", "200"))


def main():
    build = Path(sys.argv[1]).resolve()
    launcher = build / "OrvintaLauncher.exe"
    size = launcher.stat().st_size
    print(f"exe_size {size} bytes ({size / 1024:.1f} KiB; goal 64 KiB)")

    prefix = Prefix(build / "e2e", "benchmark", ROOT / "scripts" / "winerun").create()
    try:
        client = os.urandom(1 << 20) * CLIENT_MB
        folder = prefix.path("C:\\users\\Public")
        with DownloadServer({"/client/orvinta.exe": Answer("ok", client)}):
            _, output = prefix.run(build / "tests" / "benchmark" / "download_benchmark.exe",
                                   ["http://127.0.0.1:28613/client/orvinta.exe", "C:\\users\\Public", "2"],
                                   timeout=900)
        print(output.strip())
        (folder / "orvinta.exe").unlink(missing_ok=True)

        # Start to hand-off on a repeat run: the launcher's process ends when
        # the updater takes over, so the wall time of `wine` is that interval.
        updater = (build / "tests" / "e2e" / "recording_updater.exe").read_bytes()
        exe = prefix.install_launcher(launcher)
        probe = build / "tests" / "e2e" / "registry_probe.exe"
        prefix.set_install(probe, 1, b"C:\\Games\\ORVINTA\0")
        answers = {"/client/tmp_updater.bin": Answer("ok", updater)}
        runs, baseline = [], []
        with DownloadServer(answers):
            prefix.run(exe)  # Warm-up.
            for _ in range(5):
                start = time.monotonic()
                prefix.run(probe, ["none"])  # A program that exits at once.
                baseline.append(time.monotonic() - start)
                start = time.monotonic()
                prefix.run(exe)
                runs.append(time.monotonic() - start)
        print(f"start_to_handoff_median {statistics.median(runs) * 1000:.0f} ms "
              f"(updater {len(updater)} bytes, 5 runs)")
        print(f"wine_start_and_exit_median {statistics.median(baseline) * 1000:.0f} ms "
              "(a program that does nothing, same prefix)")
        print(f"start_to_handoff_beyond_wine {(statistics.median(runs) - statistics.median(baseline)) * 1000:.0f} ms")
    finally:
        prefix.kill()


if __name__ == "__main__":
    main()
