#!/usr/bin/env python3
"""Lists what `llvm-cov show -show-branches=count` marks as never run: source lines with a count
of 0 and branches one side of which was never taken, file by file.

    uncovered.py SHOW.txt"""
import re
import sys

current = None
lines, branches = [], []
for text in open(sys.argv[1], errors="replace"):
    if text.startswith("/") and text.rstrip().endswith(":"):
        current = text.rstrip()[:-1]
        continue
    m = re.match(r"\s*(\d+)\|\s*(\S*)\|(.*)", text)
    if m and current:
        number, count, source = int(m.group(1)), m.group(2), m.group(3)
        last_line = (current, number, source.strip())
        if count == "0":
            lines.append(last_line)
        continue
    b = re.match(r"\s*\|\s*Branch \((\d+):(\d+)\): \[True: (\d+), False: (\d+)\]", text)
    if b and current and (b.group(3) == "0" or b.group(4) == "0"):
        side = "true" if b.group(3) == "0" else "false"
        branches.append((current, int(b.group(1)), side))

root = re.compile(r".*?/(sb_pei/|cmos_error_prompt/)")
print("Lines never run: %d" % len(lines))
for path, number, source in lines:
    print("  %s:%d  %s" % (root.sub(r"\1", path), number, source[:90]))
print("Branches with a side never taken: %d" % len(branches))
for path, number, side in branches:
    print("  %s:%d  never %s" % (root.sub(r"\1", path), number, side))
