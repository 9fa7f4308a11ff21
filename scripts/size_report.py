#!/usr/bin/env python3
"""Sums what each library and object adds to a linked program, from its GNU ld map.

Usage: size_report.py PROGRAM.map [COUNT]
Counts only input sections kept in the output, not debug sections.
"""
import collections
import re
import sys


def main():
    path = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    sizes = collections.Counter()
    kept = False
    pending = None
    for line in open(path, errors="replace"):
        if line.startswith("Linker script and memory map"):
            kept = True
            continue
        if not kept:
            continue
        m = re.match(r"^ (\.\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)", line)
        if not m and re.match(r"^ (\.\S+)\s*$", line):
            pending = line.strip()
            continue
        if not m and pending:
            m2 = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)", line)
            pending = None
            if m2:
                m = (None, None, None, m2.group(2), m2.group(3))
                section, size, source = pending, int(m[3], 16), m[4]
                sizes[re.sub(r".*/", "", source).split("(")[0]] += size
            continue
        if m:
            if m.group(1).startswith(".debug"):
                continue
            source = re.sub(r".*/", "", m.group(4)).split("(")[0]
            sizes[source] += int(m.group(3), 16)
    total = sum(sizes.values())
    print(f"{total} bytes in kept sections")
    for source, size in sizes.most_common(count):
        print(f"{size:8d}  {source}")


if __name__ == "__main__":
    main()
