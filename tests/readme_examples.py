#!/usr/bin/env python3
"""Runs the examples of the README and of the pages under docs/: every TOML block must be a board
sbsim accepts, every `build/sbsim` line of a shell block must end with the exit status the page
gives in its comment ("exit status N"; 0 when none is given), every link to a page or picture
must lead to a file, and every file or folder of the tree a page names in backticks must exist.

    readme_examples.py SOURCE_DIR BUILD_DIR

The commands run in a scratch folder where build/, boards/ and tests/ lead to the real ones,
so files they write stay out of the source tree."""
import glob
import os
import re
import subprocess
import sys
import tempfile

source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
pages = ["README.md"] + sorted(os.path.relpath(p, source) for p in glob.glob(os.path.join(source, "docs", "*.md")))
work = tempfile.mkdtemp(prefix="readme-")
os.symlink(build, os.path.join(work, "build"))
for name in ("boards", "tests"):
    os.symlink(os.path.join(source, name), os.path.join(work, name))

# The tree's top folders: a name in backticks that starts with one of them is a path in the tree
# (unless it holds a pattern or a placeholder).
TOP = sorted(d + "/" for d in os.listdir(source) if os.path.isdir(os.path.join(source, d)) and not d.startswith("build")
             and d not in (".git",))
TOP += [".ci/", ".github/", ".clusterfuzzlite/"]
PLACEHOLDER = re.compile(r"[<>*?{}\[\]$|]|\.\.\.|\s")

failures, ran = [], 0


def check_paths(page, text):
    global ran
    in_code = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            continue
        for name in re.findall(r"`([^`]+)`", line):
            name = name.split(":", 1)[0].rstrip("/.,")
            if not any(name.startswith(t) for t in TOP) or PLACEHOLDER.search(name):
                continue
            ran += 1
            if not glob.glob(os.path.join(source, name)) and not glob.glob(os.path.join(source, name + ".*")):
                failures.append("%s:%d: `%s` is not in the tree" % (page, number, name))
        for target in re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", line):
            if "://" in target:
                continue
            ran += 1
            if not os.path.exists(os.path.join(source, os.path.dirname(page), target)):
                failures.append("%s:%d: the link to %s leads nowhere" % (page, number, target))


for page in pages:
    text = open(os.path.join(source, page)).read()
    check_paths(page, text)
    for n, block in enumerate(re.finditer(r"```(\w*)\n(.*?)```", text, re.S)):
        lang, body = block.group(1), block.group(2)
        line_no = text.count("\n", 0, block.start()) + 1
        if lang == "toml":
            path = os.path.join(work, "example-%d.toml" % n)
            open(path, "w").write(body)
            r = subprocess.run([os.path.join(build, "sbsim"), path], capture_output=True, text=True, cwd=work)
            ran += 1
            if "Board:" not in r.stdout:
                failures.append("%s:%d: the TOML example is refused: %s" % (page, line_no, r.stderr.strip()))
            continue
        if lang != "sh":
            continue
        for k, line in enumerate(body.splitlines()):
            command = line.split("#", 1)[0].strip()
            if not command.startswith("build/sbsim"):
                continue
            m = re.search(r"exit status (\d+)", line.split("#", 1)[1] if "#" in line else "")
            want = int(m.group(1)) if m else 0
            r = subprocess.run(command, shell=True, capture_output=True, text=True, cwd=work)
            ran += 1
            if r.returncode != want:
                failures.append("%s:%d: `%s` exited %d, the page says %d\n%s" %
                                (page, line_no + 1 + k, command, r.returncode, want, (r.stdout + r.stderr)[-600:]))
for f in failures:
    print(f)
print("%d example(s) and name(s) checked on %d page(s), %d failed" % (ran, len(pages), len(failures)))
sys.exit(1 if failures or ran == 0 else 0)
