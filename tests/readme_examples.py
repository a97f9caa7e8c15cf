#!/usr/bin/env python3
"""Runs the README's examples: every TOML block must be a board sbsim accepts, and every
`build/sbsim` line of a shell block must end with the exit status the README gives in its
comment ("exit status N"; 0 when none is given).

    readme_examples.py SOURCE_DIR BUILD_DIR

The commands run in a scratch folder where build/, boards/ and tests/ lead to the real ones,
so files they write stay out of the source tree."""
import os
import re
import subprocess
import sys
import tempfile

source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
readme = open(os.path.join(source, "README.md")).read()
work = tempfile.mkdtemp(prefix="readme-")
os.symlink(build, os.path.join(work, "build"))
for name in ("boards", "tests"):
    os.symlink(os.path.join(source, name), os.path.join(work, name))

failures, ran = [], 0
for n, block in enumerate(re.finditer(r"```(\w*)\n(.*?)```", readme, re.S)):
    lang, body = block.group(1), block.group(2)
    line_no = readme.count("\n", 0, block.start()) + 1
    if lang == "toml":
        path = os.path.join(work, "example-%d.toml" % n)
        open(path, "w").write(body)
        r = subprocess.run([os.path.join(build, "sbsim"), path], capture_output=True, text=True, cwd=work)
        ran += 1
        if "Board:" not in r.stdout:
            failures.append("README.md:%d: the TOML example is refused: %s" % (line_no, r.stderr.strip()))
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
            failures.append("README.md:%d: `%s` exited %d, the README says %d\n%s" %
                            (line_no + 1 + k, command, r.returncode, want, (r.stdout + r.stderr)[-600:]))
for f in failures:
    print(f)
print("%d README example(s) run, %d failed" % (ran, len(failures)))
sys.exit(1 if failures or ran == 0 else 0)
