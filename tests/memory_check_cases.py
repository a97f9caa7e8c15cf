#!/usr/bin/env python3
"""Each memory misdeed of the test-only PEIM and DXE driver, booted on the image engine, and of
the PEIM dispatched by EDK2's PEI core from a volume (EDK2's build of it, with its debug file),
is reported once, with the right kind, module and source line, and nothing else is reported; the
image that does nothing wrong boots clean, and --no-memory-check reports nothing.

The misdeeds are read from the images' sources: the line marked "misdeed n: KIND" is what CMOS
register 0x40 = n makes the image do."""
import json
import pathlib
import re
import subprocess
import sys
import tempfile

sbsim, source_dir, image_dir = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
volume = pathlib.Path(sys.argv[4]) if len(sys.argv) > 4 else None
IMAGES = [("--pei-image", "MisbehavingPeim", "misbehaving_peim.cpp"),
          ("--dxe-image", "MisbehavingDriver", "misbehaving_driver.cpp")]
if volume is not None:
    IMAGES.append(("--pei-volume", "MisbehavingPeim", "misbehaving_peim.cpp"))
failures = []


def misdeeds(source):
    lines = (source_dir / "tests/firmware" / source).read_text().splitlines()
    marked = {int(m.group(1)): (number, m.group(2)) for number, text in enumerate(lines, 1)
              if (m := re.search(r"misdeed (\d+): ([a-z-]+)", text))}
    return dict(sorted(marked.items()))


def boot(option, image, case, *extra):
    with tempfile.NamedTemporaryFile("w", suffix=".toml") as board:
        board.write(f'[board]\nname = "misdeed {case}"\n[registers]\ncmos = {{ 0x40 = {case} }}\n')
        board.flush()
        what = [option, str(volume)] if option == "--pei-volume" else ["--engine", "image", option,
                                                                       str(image_dir / f"{image}.efi")]
        run = subprocess.run([sbsim, *what, "--json", board.name, *extra], capture_output=True, text=True)
    return run.returncode, json.loads(run.stdout)["memory_findings"]


for option, image, source in IMAGES:
    cases = misdeeds(source)
    if not cases:
        failures.append(f"{source}: no misdeed marked")
    for case, (line, kind) in cases.items():
        status, found = boot(option, image, case)
        where = f"{image}{' from the volume' if option == '--pei-volume' else ''} case {case} ({kind}, line {line})"
        if status != 1:
            failures.append(f"{where}: sbsim exited {status}, not 1")
        if len(found) != 1:
            failures.append(f"{where}: {len(found)} findings: {found}")
            continue
        f = found[0]
        if f["kind"] != kind or f["module"] != image or not f["at"].endswith(f"{source}:{line})"):
            failures.append(f"{where}: reported as {f['kind']} by {f['module']} at {f['at']}")
        print(f"{where}: {f['kind']} at {f['at']}")
    status, found = boot(option, image, 0)
    if status != 0 or found:
        failures.append(f"{image} doing nothing wrong: exit {status}, findings {found}")
    # A misdeed that leaves nothing else behind (no pool leak, say), with the check off.
    quiet = next(case for case, (_, kind) in cases.items() if kind == "read-only-write")
    status, found = boot(option, image, quiet, "--no-memory-check")
    if status != 0 or found:
        failures.append(f"{image} case {quiet} with --no-memory-check: exit {status}, findings {found}")

# In the trace, the finding sits at its place: after the read of CMOS 0x40 that chose the misdeed,
# before the POST code the misdeed's read value was spent on.
with tempfile.TemporaryDirectory() as tmp:
    trace = pathlib.Path(tmp) / "trace.jsonl"
    boot("--pei-image", "MisbehavingPeim", 3, "--trace", str(trace))
    lines = [json.loads(l) for l in trace.read_text().splitlines()]
    kinds = ["finding" if "memory_finding" in l else l.get("reg", "") for l in lines]
    if kinds[:4] != ["CMOS_INDEX", "CMOS 0x40", "finding", "POST"]:
        failures.append(f"the trace does not hold the finding at its place: {kinds[:4]}")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
