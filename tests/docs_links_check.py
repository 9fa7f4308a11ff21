#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md names a file that exists,
and every #anchor a heading of the file it points into (GitHub's anchors:
lowercase, punctuation dropped but hyphens, spaces to hyphens).

Usage: docs_links_check.py SOURCE_DIR
"""
import re
import sys
from pathlib import Path

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def anchors(path):
    found = set()
    in_code = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            in_code = not in_code
        heading = re.match(r"#+\s+(.*)", line)
        if heading and not in_code:
            text = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower())
            found.add(text.replace(" ", "-"))
    return found


def main():
    root = Path(sys.argv[1])
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    broken, checked = [], 0
    for page in pages:
        text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # http:, https:, mailto: are not the tree's.
            checked += 1
            file_part, _, anchor = target.partition("#")
            linked = (page.parent / file_part).resolve() if file_part else page
            if not linked.is_file():
                broken.append(f"{page.relative_to(root)}: {target}: no such file")
            elif anchor and anchor not in anchors(linked):
                broken.append(f"{page.relative_to(root)}: {target}: no such heading")
    for line in broken:
        print("FAIL  " + line)
    print(f"{checked - len(broken)} passed, {len(broken)} failed ({len(pages)} pages)")
    return 1 if broken or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
