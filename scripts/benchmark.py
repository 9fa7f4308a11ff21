#!/usr/bin/env python3
"""Prints the launcher's figures: size, download speed against a bare WinINet
loop, the signer check's cost, working set during a 200 MB download,
start-to-hand-off time, and a repeat run's cost with and without a 304, each
beside its baseline from the same run.

Usage: benchmark.py WINE_BUILD_DIR IMAGE_BUILD_DIR
WINE_BUILD_DIR holds the programs Wine runs here; IMAGE_BUILD_DIR the shipped
i686 images (the same folder where Wine runs 32-bit programs).
Figures only: nothing here passes or fails.
"""
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from download_server import Answer, DownloadServer, program_bytes  # noqa: E402
from harness import Prefix  # noqa: E402

CLIENT_MB = int(os.environ.get("BENCHMARK_CLIENT_MB", "200"))
# The benchmark's launcher is built for this port alone (the tests use 28613
# and 28614), so that it can run while the tests do.
PORT = 28615
ROUNDS = os.environ.get("BENCHMARK_ROUNDS", "3")
# The default build carries no signature check; the signed build does.
SIZE_GOALS = {"exe_size": 45 * 1024, "signed_build_exe_size": 49 * 1024}


def answered(server):
    """The body bytes `server` sent, once it has finished every answer: a
    paced answer's last pause can outlast the run that took it."""
    deadline = time.monotonic() + 10
    while len(server.sent) < len(server.requests) and time.monotonic() < deadline:
        time.sleep(0.05)
    return server.body_bytes


def main():
    build = Path(sys.argv[1]).resolve()
    images = Path(sys.argv[2]).resolve()
    launcher = build / "tests" / "benchmark" / "OrvintaLauncherBenchmark.exe"
    for name, image in (("exe_size", images / "OrvintaLauncher.exe"),
                        ("signed_build_exe_size", images / "tests" / "OrvintaLauncherSigned.exe")):
        size, goal = image.stat().st_size, SIZE_GOALS[name]
        print(f"{name} {size} bytes ({size / 1024:.1f} KiB; goal {goal} bytes, "
              f"{goal - size} to spare)")

    prefix = Prefix(build / "benchmark-wine", "benchmark", ROOT / "scripts" / "winerun").create()
    try:
        # A client signed by the pinned test key: a small program whose
        # Authenticode hash covers the random bytes appended to it.
        keys = build / "tests" / "signing"
        unsigned = prefix.root / "client.unsigned.exe"
        signed = prefix.root / "client.signed.exe"
        with open(unsigned, "wb") as out:
            out.write((build / "tests" / "e2e" / "sample_client.exe").read_bytes())
            out.write(os.urandom(1 << 20) * CLIENT_MB)
        signed.unlink(missing_ok=True)
        subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-certs", keys / "pinned.pem",
                        "-key", keys / "pinned.key", "-in", unsigned, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)
        unsigned.unlink()
        client = signed.read_bytes()
        signed.unlink()
        folder = prefix.path("C:\\users\\Public")
        pin = (keys / "pinned.pin").read_text().strip()
        # The same client without validators, and with an ETag: kept with it.
        answers = {"/client/orvinta.exe": Answer("ok", client),
                   "/client/kept.exe": Answer("ok", client, etag='"client"')}
        with DownloadServer(answers, port=PORT):
            _, output = prefix.run(build / "tests" / "benchmark" / "download_benchmark.exe",
                                   [f"http://127.0.0.1:{PORT}/client/orvinta.exe",
                                    f"http://127.0.0.1:{PORT}/client/kept.exe",
                                    "C:\\users\\Public", ROUNDS, pin], timeout=1800)
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
        with DownloadServer(answers, port=PORT):
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

        # A repeat run whose 2 MB updater has not changed, from a server that
        # paces it at 1 MB/s: answered 304 when the server sends validators,
        # in full when it does not; beside one whose updater is 1 KB. The
        # updaters only start like programs, so each run ends at its hand-off.
        big = program_bytes(88) + os.urandom((2 << 20) - 88)
        for name, body, etag in (("repeat_run_1kb_updater", program_bytes(1024), None),
                                 ("repeat_run_2mb_revalidated", big, '"2mb"'),
                                 ("repeat_run_2mb_without_validators", big, None)):
            answers = {"/client/tmp_updater.bin": Answer("ok", body, etag=etag, rate=1 << 20)}
            times = []
            with DownloadServer(answers, port=PORT) as server:
                prefix.run(exe)  # Warm-up: keeps the updater and what came with it.
                sent_before = answered(server)
                for _ in range(5):
                    start = time.monotonic()
                    prefix.run(exe)
                    times.append(time.monotonic() - start)
                body_bytes = (answered(server) - sent_before) // 5
            print(f"{name}_median {statistics.median(times) * 1000:.0f} ms "
                  f"({body_bytes} body bytes a run, 5 runs)")

        # A 20 MB updater whose connection is reset half-way, then served
        # whole: continued with a 206 under its ETag, or, without one,
        # fetched again in full.
        huge = program_bytes(88) + os.urandom((20 << 20) - 88)
        for name, etag in (("reset_20mb_resumed", '"20mb-%d"'), ("reset_20mb_fetched_again", None)):
            times, sent = [], []
            for run in range(3):
                # A new ETag each run, so that no run is answered 304.
                answers = {"/client/tmp_updater.bin": Answer("ok", huge,
                                                             etag=etag and etag % run,
                                                             breaks=[len(huge) // 2])}
                with DownloadServer(answers, port=PORT) as server:
                    start = time.monotonic()
                    prefix.run(exe)
                    times.append(time.monotonic() - start)
                sent.append(server.body_bytes)
            print(f"{name}_median {statistics.median(times) * 1000:.0f} ms to hand-off, "
                  f"{statistics.median(sent)} body bytes ({statistics.median(sent) / len(huge):.3f}x "
                  f"the file, 3 runs)")

        # A 20 MB updater broken off at half, the network then gone, and
        # continued by the next run: the body bytes both runs fetched, against
        # the file's size; then what re-hashing the kept half costs the next
        # run, against one SHA-256 pass over those bytes.
        etag, gone = '"20mb-next-run"', [Answer("drop")] * 2
        answers = {"/client/tmp_updater.bin": [Answer("ok", huge, etag=etag,
                                                      breaks=[len(huge) // 2])] + gone}
        with DownloadServer(answers, port=PORT) as server:
            prefix.run(exe)
            first = answered(server)
        with DownloadServer({"/client/tmp_updater.bin": Answer("ok", huge, etag=etag)},
                            port=PORT) as server:
            start = time.monotonic()
            prefix.run(exe)
            seconds = time.monotonic() - start
            both = first + answered(server)
        print(f"broken_20mb_continued_next_run {both} body bytes in both runs "
              f"({both / len(huge):.3f}x the file; goal 1.05), {seconds * 1000:.0f} ms to hand-off")
        answers = {"/client/rehash.bin": [Answer("ok", huge, etag='"rehash"',
                                                 breaks=[len(huge) // 2])] + gone}
        with DownloadServer(answers, port=PORT):
            _, output = prefix.run(build / "tests" / "benchmark" / "download_benchmark.exe",
                                   ["rehash", f"http://127.0.0.1:{PORT}/client/rehash.bin",
                                    "C:\\users\\Public"], timeout=600)
        print(output.strip())
    finally:
        prefix.kill()


if __name__ == "__main__":
    main()
