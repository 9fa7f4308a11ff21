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
    section = None  # A long section name puts its address on the next line.
    for line in open(path, errors="replace"):
        if line.startswith("Linker script and memory map"):
            kept = True
        if not kept:
            continue
        whole = re.match(r"^ (\.\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)", line)
        named = re.match(r"^ (\.\S+)\s*$", line)
        wrapped = re.match(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)", line)
        if whole:
            section, size, source = whole.group(1), whole.group(2), whole.group(3)
        elif named:
            section = named.group(1)
            continue
        elif wrapped and section:
            size, source = wrapped.group(1), wrapped.group(2)
        else:
            section = None
            continue
        if not section.startswith(".debug"):
            sizes[re.sub(r".*/", "", source).split("(")[0]] += int(size, 16)
        section = None
    total = sum(sizes.values())
    print(f"{total} bytes in kept sections")
    for source, size in sizes.most_common(count):
        print(f"{size:8d}  {source}")


if __name__ == "__main__":
    main()
