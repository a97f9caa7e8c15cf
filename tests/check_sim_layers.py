#!/usr/bin/env python3
"""The simulator's folders and the one direction their dependencies take:

    report -> board -> engines -> services -> image, devices -> machine

A file may include headers of its own folder and of the folders below it, never of a folder
above it or beside it (devices and image know nothing of each other), and nothing in the two
modules (sb_pei/, cmos_error_prompt/) includes anything from sim/ or tools/.

Every other project include from sim/ is one of these, from the folders named (ALLOWED):
- pi/: the standard's declarations, anywhere;
- the modules' chief headers (their data layouts and GUIDs): in services, engines and board;
- the modules' hardware seams: only in the seam instances that implement them;
- the simulator platform's memory map (edk2/SbPkg/SimPlatform/SimMemoryMap.h): in SEC, the one
  place that plays that platform.

    check_sim_layers.py SOURCE_DIR      exit status 1 and one line per offending include"""
import pathlib
import re
import sys

BELOW = {
    "machine": set(),
    "devices": {"machine"},
    "image": {"machine"},
    "services": {"machine", "image"},
    "engines": {"machine", "image", "services"},
    "board": {"machine", "image", "services", "engines", "devices"},
    "report": {"machine", "image", "services", "engines", "devices", "board"},
}
INCLUDE = re.compile(r'#include "((?:sim|tools)/[^"]+)"')
PROJECT = re.compile(r'#include "((?:pi|sb_pei|cmos_error_prompt|edk2)/[^"]+)"')
# (header or folder prefix, the sim/ files that may include it)
ALLOWED = [
    ("pi/", lambda f: True),
    ("sb_pei/sb_pei.h", lambda f: f.parts[1] in ("services", "engines", "board")),
    ("cmos_error_prompt/cmos_error_prompt.h", lambda f: f.parts[1] in ("services", "engines", "board")),
    ("sb_pei/register/hardware.h", lambda f: f.as_posix() == "sim/services/seam_sb_pei.cpp"),
    ("cmos_error_prompt/hardware.h", lambda f: f.as_posix() == "sim/services/seam_cmos_error_prompt.cpp"),
    ("edk2/SbPkg/SimPlatform/SimMemoryMap.h", lambda f: f.as_posix() == "sim/services/sec_core.h"),
]

root = pathlib.Path(sys.argv[1])
errors = []
if sorted(p.name for p in (root / "sim").iterdir() if p.is_file()):
    errors.append("sim/ holds files; every file belongs in a folder")
for path in sorted(root.glob("sim/*/*")) + sorted(root.glob("sb_pei/**/*")) + sorted(root.glob("cmos_error_prompt/*")):
    if path.suffix not in (".h", ".cpp", ".in"):
        continue
    relative = path.relative_to(root)
    folder = relative.parts[1] if relative.parts[0] == "sim" else None
    for number, line in enumerate(path.read_text().splitlines(), 1):
        other = PROJECT.search(line)
        if other and folder is not None:
            header = other.group(1)
            if not any(header.startswith(prefix) and allowed(relative) for prefix, allowed in ALLOWED):
                errors.append("%s:%d: includes %s, which sim/%s may not" % (relative, number, header, folder))
            continue
        m = INCLUDE.search(line)
        if not m:
            continue
        target = m.group(1).split("/")
        if folder is None:
            errors.append("%s:%d: a module includes %s" % (relative, number, m.group(1)))
        elif target[0] != "sim" or len(target) != 3:
            errors.append("%s:%d: includes %s, outside the simulator's folders" % (relative, number, m.group(1)))
        elif folder not in BELOW:
            errors.append("%s: folder %s is not one of the simulator's" % (relative, folder))
        elif target[1] != folder and target[1] not in BELOW[folder]:
            errors.append("%s:%d: %s may not include %s" % (relative, number, folder, m.group(1)))
for e in errors:
    print(e)
print("%d include(s) against the layering" % len(errors) if errors else "sim/ layering holds")
sys.exit(1 if errors else 0)
