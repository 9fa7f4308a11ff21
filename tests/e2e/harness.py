"""Runs the real launcher under Wine: a fresh prefix for each run, and what
the launcher left in it (files, registry, record, the started updater).

Shared by the end-to-end scenarios (e2e.py) and the demo (scripts/demo.py).
The servers are in download_server.py and server_processes.py, their ports
in endpoints.py.
"""
import fcntl
import os
import shutil
import struct
import subprocess
from pathlib import Path

INSTALL_KEY = "HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA"
DEFAULT_DIR = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA"
SHORTCUT_NAME = "\uc624\ube48\ud0c0\uba54\ub8e8\uc2a4.lnk"
RUN_TIMEOUT = 90
# The window of OrvintaLauncherE2E and OrvintaLauncherSignedE2E (their
# DOWNLOAD_STALL_SECONDS, E2E_DOWNLOAD_LIMITS in tests/CMakeLists.txt).
WINDOW_SECONDS = 3
# In the environment of every program the tests run: what a started updater
# finds there shows it got the launcher's environment.
ENVIRONMENT_MARK = "handed on"


class Prefix:
    """A Wine prefix copied from a base prefix, so each scenario starts clean.

    With `waiter` (tests/e2e/wait_for_programs.exe) one wineserver serves the
    whole scenario: Debian starts each one with -p0, so it ends with its
    last program and the next program starts another, and a program that
    connects while a server ends loses that connection. Without, each
    program may start its own, as in the demo."""

    def __init__(self, work, name, winerun, waiter=None):
        self.winerun, self.waiter = str(winerun), waiter
        work = Path(work).resolve()
        self.base_root = work / "base"
        self.root = work / name
        self.prefix = self.root / "prefix"
        self.drive_c = self.prefix / "drive_c"

    def _env(self, root, locale="ko_KR.UTF-8", extra=None):
        # WinINet reads a proxy from these too: only the prefix's own
        # settings may name one.
        env = {name: value for name, value in os.environ.items()
               if name.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
        env.update(LAUNCHER_LOCALE=locale, HOME=str(root / "home"),
                   WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all",
                   ORVINTA_E2E_MARK=ENVIRONMENT_MARK)
        env.update(extra or {})
        return env

    def create(self):
        """Makes the base prefix once, then this scenario's copy of it."""
        self.base_root.mkdir(parents=True, exist_ok=True)
        # Scenarios of both groups may start together: one makes the base,
        # and none copies it while it is being made.
        with open(self.base_root / "base.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            ready = self.base_root / "prefix" / ".settled"
            if not ready.exists():
                subprocess.run([self.winerun, str(self.base_root), "cmd", "/c", "exit"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=300, check=False)
                subprocess.run(["wineserver", "-w"], env=self._env(self.base_root), timeout=120,
                               check=False)
                ready.touch()
            self.kill()
            shutil.rmtree(self.root, ignore_errors=True)
            self.root.mkdir(parents=True)
            # Hard links keep the copy instant; the registry files, which Wine
            # rewrites, are real copies.
            subprocess.run(["cp", "-al", str(self.base_root / "prefix"), str(self.prefix)],
                           check=True)
            for reg in self.prefix.glob("*.reg"):
                reg.unlink()
                shutil.copy2(self.base_root / "prefix" / reg.name, reg)
        if self.waiter:
            subprocess.run(["wineserver", "-p"], env=self._env(self.root), timeout=60, check=True)
        return self

    def run(self, program, args=(), locale="ko_KR.UTF-8", extra_env=None, timeout=RUN_TIMEOUT):
        """Runs a Windows program to its end and returns its exit code and output."""
        out = self.root / "last_output.txt"
        with open(out, "wb") as sink:
            # Output to a file: Wine's background processes inherit it and
            # would hold a pipe open.
            # In C:\ (drive_c), where a program's directory is known.
            result = subprocess.run([self.winerun, str(self.root), str(program), *args],
                                    cwd=self.drive_c, stdin=subprocess.DEVNULL, stdout=sink,
                                    stderr=subprocess.STDOUT,
                                    env=self._env(self.root, locale, extra_env),
                                    timeout=timeout, check=False)
        return result.returncode, out.read_text(errors="replace")

    def start(self, program, args=()):
        """Starts a Windows program (a C:\\ path) without waiting for it."""
        return subprocess.Popen([self.winerun, str(self.root), str(program), *args],
                                cwd=self.drive_c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self._env(self.root))

    def wait(self):
        """Waits until every program of this prefix (a started updater too) has ended."""
        if self.waiter:
            code, output = self.run(self.waiter)
            assert code == 0, output
            return
        subprocess.run(["wineserver", "-w"], env=self._env(self.root), timeout=RUN_TIMEOUT,
                       check=False)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self._env(self.root), stderr=subprocess.DEVNULL,
                       timeout=60, check=False)

    def path(self, windows_path):
        """The Linux path of a C:\\ path."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*windows_path[3:].split("\\"))

    def desktop(self):
        users = [u for u in (self.drive_c / "users").iterdir() if u.name != "Public"]
        return users[0] / "Desktop"

    def read(self, windows_path):
        p = self.path(windows_path)
        return p.read_bytes() if p.is_file() else None

    def registry(self, probe):
        """The launcher's three values: {name: (type, bytes)} or None when missing."""
        _, output = self.run(probe, ["dump"])
        values = {}
        for line in output.splitlines():
            fields = line.strip().split("|")
            if len(fields) < 3:
                continue
            name = fields[0] + "|" + fields[1]
            values[name] = None if fields[2] == "missing" else (int(fields[2]), bytes.fromhex(fields[3]))
        return values

    def last_run(self, probe):
        """The lines of the launcher's record of its last run (type REG_SZ),
        or None when there is none."""
        _, output = self.run(probe, ["last-run"])
        fields = output.strip().split("|")
        if len(fields) < 4 or fields[2] != "1":
            return None
        text = bytes.fromhex(fields[3]).decode("latin-1")
        assert text.endswith("\r\n\0"), text
        return text[:-3].split("\r\n")

    def set_install(self, probe, reg_type, data):
        code, output = self.run(probe, ["set-install", str(reg_type), data.hex()])
        assert code == 0, output

    def keep_conditions(self, probe, file_name, record):
        """Stores a record of kept conditions (SHA-256 and lines) for file_name."""
        code, output = self.run(probe, ["set-kept", file_name, record.hex()])
        assert code == 0, output

    def set_proxy(self, server):
        """Sets the prefix's (the user's) proxy settings to `server`, host:port."""
        key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
        for value in (["ProxyEnable", "/t", "REG_DWORD", "/d", "1"],
                      ["ProxyServer", "/t", "REG_SZ", "/d", server]):
            code, output = self.run("reg", ["add", key, "/v", *value, "/f"])
            assert code == 0, output

    def trust_root(self, probe, certificate):
        """Adds a CA certificate (DER) to this prefix's machine ROOT store."""
        code, output = self.run(probe, ["trust-root", "Z:" + str(certificate).replace("/", "\\")])
        assert code == 0, output

    def delete_key(self, key, launcher):
        """Deletes a key in the registry view of the program `launcher`."""
        self.run("reg", ["delete", key, "/f", "/reg:%d" % pe_bits(launcher)])

    def install_launcher(self, launcher, name="OrvintaLauncher.exe"):
        """Puts the launcher where a user would run it from: their Downloads folder."""
        downloads = self.desktop().parent / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copy2(launcher, downloads / name)
        return downloads / name

    def updater_record(self, install_dir):
        data = self.read(install_dir + "\\updater_started.txt")
        return None if data is None else data.decode("latin-1").splitlines()


INSTALL_NAME = INSTALL_KEY + "|INSTALL"
PROTOCOL_NAME = "HKCR\\orvinta|URL protocol"
COMMAND_NAME = "HKCR\\orvinta\\shell\\open\\command|"


def expected_registration(install_dir):
    updater = install_dir + "\\updater.exe"
    return {
        INSTALL_NAME: (1, install_dir.encode("latin-1") + b"\0"),
        PROTOCOL_NAME: (1, b"\0"),
        COMMAND_NAME: (1, ('"%s" "%%1"' % updater).encode("latin-1") + b"\0"),
    }


def pe_bits(program):
    """32 or 64: the width of a Windows program, from its PE machine field."""
    image = Path(program).read_bytes()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    return 64 if struct.unpack_from("<H", image, pe + 4)[0] == 0x8664 else 32


def link_points_at(link_bytes, target):
    """True when a shell link file names `target` (in ANSI or UTF-16)."""
    return target.encode("latin-1") in link_bytes or target.encode("utf-16-le") in link_bytes
