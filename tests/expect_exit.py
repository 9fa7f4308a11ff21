#!/usr/bin/env python3
"""Runs a command and passes when it exits with the expected code in time.

Usage: expect_exit.py CODE SECONDS COMMAND [ARGS...]
"""
import subprocess
import sys

code, seconds, command = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
try:
    result = subprocess.run(command, stdin=subprocess.DEVNULL, timeout=seconds, check=False)
    actual = result.returncode
except subprocess.TimeoutExpired:
    actual = "no exit within %g s" % seconds
ok = actual == code
print(f"exit code {actual}, expected {code}")
print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
sys.exit(0 if ok else 1)
