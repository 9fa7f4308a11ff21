#!/usr/bin/env python3
"""Runs a command beside the TLS test server, for the download rows that need
one: https://localhost:<port> (the test CA's localhost certificate) serves
/client/tmp_updater.bin and redirects /redirected to the same path over
plain http on 127.0.0.1. The command finds the server in TLS_TEST_SERVER.

Usage: with_tls_server.py KEYS_DIR COMMAND [ARGS...]
Both servers take free ports and stop when the command ends.
"""
import os
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "e2e"))
from download_server import Answer, DownloadServer  # noqa: E402

# A Windows program (MZ, then PE\0\0 where 0x3C points, and a file header of
# no sections), as every kept body must be.
BODY = (b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" + b"\0" * 20 +
        b"served over TLS " * 200)


def main():
    keys = Path(sys.argv[1])
    path = "/client/tmp_updater.bin"
    with DownloadServer({path: Answer("ok", BODY)}, port=0) as plain:
        downgrade = b"http://127.0.0.1:%d%s" % (plain.port, path.encode())
        answers = {path: Answer("ok", BODY), "/redirected": Answer("redirect", downgrade)}
        with DownloadServer(answers, tls=(keys / "localhost.pem", keys / "localhost.key"),
                            port=0) as tls:
            env = dict(os.environ, TLS_TEST_SERVER="https://localhost:%d" % tls.port)
            return subprocess.run(sys.argv[2:], env=env, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
