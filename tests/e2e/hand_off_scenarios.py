"""The hand-off and an updater in use: what the started updater gets from
the launcher, and a new updater put in place of one that runs or is held."""
import re
import time

from scenario import CLIENT_PATH, UPDATER_PATH, handed_off, kept, plant_install
from harness import DEFAULT_DIR
from download_server import Answer

UPDATER = DEFAULT_DIR + "\\updater.exe"
# How long the launcher waits for a held file (kHeldFileWaitMs).
HELD_FILE_WAIT_SECONDS = 10
# What a run held that long costs beyond the wait: Wine's start, the
# download, the record.
HELD_RUN_MARGIN_SECONDS = 4
MOVED_ASIDE = r"updater\.exe\.\d\.old"
PENDING_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"


def await_file(s, windows_path, what):
    """Waits (at most 30 s) until a program of the scenario made a file."""
    deadline = time.monotonic() + 30
    while s.prefix.read(windows_path) is None and time.monotonic() < deadline:
        time.sleep(0.1)
    s.check(s.prefix.read(windows_path) is not None, what)


def hold(s, path, mode):
    """file_holder.exe holds `path` (or the new files in that folder) without
    delete sharing, as its `mode` says."""
    s.prefix.path("C:\\file_holder.ready").unlink(missing_ok=True)
    s.prefix.start(s.e2e / "file_holder.exe", [path, mode])
    await_file(s, "C:\\file_holder.ready", f"{path} is held ({mode})")


def hand_off_passes_on_nothing(s):
    """A first install whose client download stalls is given up on, its
    connection left open; the updater then started runs on for 6 s. The
    connection closes when the launcher's process ends, while the updater
    still runs: the updater inherited no handle of the launcher's."""
    s.updater = (s.e2e / "updater_lingering.exe").read_bytes()
    stalled = Answer("stall", s.client)
    code, requests = s.launch(client=stalled)
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=True)
    closed = stalled.closed_at
    s.check(closed is not None and closed < s.launcher_ended + 1.5,
            "the given-up connection closed as the launcher ended: "
            f"{None if closed is None else round(closed - s.launcher_ended, 1)} s after it")
    s.check(closed is not None and s.all_ended - closed > 3,
            "while the updater still ran: it ended "
            f"{None if closed is None else round(s.all_ended - closed, 1)} s later")


def running_updater_replaced(s):
    """A running updater (the URL protocol started it) and a new one served:
    the running one is moved aside, the new one put in its place and
    started; once the old one has ended, a later run leaves nothing but the
    installed files."""
    plant_install(s)
    s.prefix.path(UPDATER).write_bytes((s.e2e / "updater_lingering.exe").read_bytes())
    s.prefix.start(UPDATER)
    await_file(s, DEFAULT_DIR + "\\updater_started.txt", "the installed updater runs")
    code, requests = s.launch()
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, s.updater) +
                    re.escape(" (the one in use moved aside)"), handed_off())
    aside = [n for n in s.install_folder() if re.fullmatch(MOVED_ASIDE, n)]
    s.check(len(aside) == 1, f"the running updater was moved aside: {s.install_folder()}")
    # Its removal at the next restart, where Windows (and Wine) keep it.
    _, pending = s.prefix.run("reg", ["query", PENDING_KEY, "/v", "PendingFileRenameOperations"])
    s.check(bool(aside) and aside[0] in pending,
            f"its removal at restart is scheduled: {pending.strip()[-200:]!r}")
    s.forget_hand_off()
    code, requests = s.launch()
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"once it ended, a later run removed what was moved aside: {s.install_folder()}")


def held_updater_replaced(s):
    """An updater held without delete sharing (a scanner) and let go half a
    second after the new body arrived is replaced, with nothing moved aside."""
    plant_install(s)
    s.updater = (s.e2e / "updater_1_1.exe").read_bytes()
    hold(s, UPDATER, "until-download")
    code, requests = s.launch()
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing else in the folder: {s.install_folder()}")


def held_updater_kept(s):
    """An updater held throughout: after the bounded wait, -5 and exit 1,
    the old file as it was, nothing started and nothing left behind."""
    plant_install(s)
    old = s.updater
    hold(s, UPDATER, "until-launcher-ends")
    code, requests = s.launch(updater=Answer("ok", (s.e2e / "updater_1_1.exe").read_bytes()))
    s.check(code == 1 and len(requests) == 1, f"exit code {code}, requests {requests}")
    s.check(s.prefix.read(UPDATER) == old, "updater.exe is the old one, unchanged")
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe"],
            f"nothing left behind: {s.install_folder()}")
    s.check(HELD_FILE_WAIT_SECONDS <= s.run_seconds < HELD_FILE_WAIT_SECONDS + HELD_RUN_MARGIN_SECONDS,
            f"the run waited for the file, within its bound: {s.run_seconds:.1f} s")
    s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} failed -5 write failed"),
                    "exit 1")


def held_new_files_kept(s):
    """A scanner holds each new file from the moment it appears until 1.5 s
    after its body arrived: a first install's client and updater, and then
    a repeat run's new updater, are all kept and the updater started. Held
    throughout, a new updater is given up on at the wait's bound: -5, the
    old one stays, and the whole new one stays as updater.exe.partial, never
    scheduled for removal; the next run asks for it with its own ETag, not
    the old updater's, and, answered 304, puts it in place without fetching
    it again."""
    s.prefix.path(DEFAULT_DIR).mkdir(parents=True)
    # Paced over about a second each, so that the scanner is there in time.
    client = Answer("ok", s.client, rate=len(s.client))
    for run in ("first install", "repeat run"):
        hold(s, DEFAULT_DIR, "new-files")
        if run == "first install":
            code, requests = s.launch(client=client, updater=Answer("ok", s.updater,
                                                                   rate=len(s.updater)))
            s.check(s.prefix.read(DEFAULT_DIR + "\\orvinta.exe") == s.client,
                    "orvinta.exe is byte-identical to what the server sent")
            lines = [kept(s, "orvinta.exe", CLIENT_PATH, s.client)]
        else:
            s.forget_hand_off()
            s.updater = (s.e2e / "updater_1_1.exe").read_bytes()
            # Kept with its own ETag, which the last run must not send.
            code, requests = s.launch(updater=Answer("ok", s.updater, rate=len(s.updater),
                                                     etag='"u1"'))
            lines = []
        held = (s.prefix.read("C:\\file_holder.log") or b"").split()
        s.check(len(held) == (2 if run == "first install" else 1),
                f"the scanner held every new file ({run}): {held}")
        s.expect_installed_and_started(DEFAULT_DIR, code, requests,
                                       client_requested=run == "first install")
        s.expect_record(*lines, kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
        s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
                f"nothing else in the folder ({run}): {s.install_folder()}")
    s.forget_hand_off()
    hold(s, DEFAULT_DIR, "new-files-kept")
    newer = (s.e2e / "recording_updater.exe").read_bytes()
    code, requests = s.launch(updater=Answer("ok", newer, rate=len(newer), etag='"n1"'))
    s.check(code == 1 and s.prefix.read(UPDATER) == s.updater,
            f"exit code {code}, and updater.exe is the one kept before")
    s.check(HELD_FILE_WAIT_SECONDS <= s.run_seconds < HELD_FILE_WAIT_SECONDS + HELD_RUN_MARGIN_SECONDS,
            f"the run waited for the new file, within its bound: {s.run_seconds:.1f} s")
    s.expect_record(re.escape(f"updater.exe {s.url(UPDATER_PATH)} failed -5 write failed"),
                    re.escape(f"updater.exe partial kept for the next run: {len(newer)} of "
                              f"{len(newer)} bytes (held)"), "exit 1")
    left = [n for n in s.install_folder() if n not in ("orvinta.exe", "updater.exe")]
    _, pending = s.prefix.run("reg", ["query", PENDING_KEY, "/v", "PendingFileRenameOperations"])
    s.check(left == ["updater.exe.partial"] and "partial" not in pending,
            f"only the whole new file is left, and not to go at the restart: {left}")
    s.updater = newer
    code, requests = s.launch(updater=Answer("ok", newer, etag='"n1"'))
    s.check([status for _, status, _ in s.server.sent] == [304],
            f"the kept body is asked for with its own ETag and not sent again: {s.server.sent}")
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, newer), handed_off())
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing else in the folder: {s.install_folder()}")


def read_only_updater_replaced(s):
    """A read-only updater.exe is replaced like any other: not moved aside
    as if in use, and nothing left in the folder."""
    plant_install(s)
    s.prefix.path(UPDATER).chmod(0o444)  # Wine's FILE_ATTRIBUTE_READONLY.
    s.updater = (s.e2e / "updater_1_1.exe").read_bytes()
    code, requests = s.launch()
    s.expect_installed_and_started(DEFAULT_DIR, code, requests, client_requested=False)
    s.expect_record(kept(s, "updater.exe", UPDATER_PATH, s.updater), handed_off())
    s.check(s.install_folder() == ["orvinta.exe", "updater.exe", "updater_started.txt"],
            f"nothing else in the folder: {s.install_folder()}")


SCENARIOS = {
    "hand_off_passes_on_nothing": hand_off_passes_on_nothing,
    "running_updater_replaced": running_updater_replaced,
    "held_updater_replaced": held_updater_replaced,
    "held_updater_kept": held_updater_kept,
    "held_new_files_kept": held_new_files_kept,
    "read_only_updater_replaced": read_only_updater_replaced,
}
