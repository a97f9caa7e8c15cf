#!/usr/bin/env python3
"""Writes the test platform's DSC and FDF: copies of OVMF's OvmfPkgIa32X64 description from the
EDK2 tree with our additions included at fixed places (SbPkg/TestPlatform/*.inc). The EDK2 tree
itself is never changed.

    make_platform.py EDK2_TREE OUT_DIR
"""
import pathlib
import sys

TREE, OUT = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
NAME = "SbOvmfIa32X64"


def insert_after(text, anchor, addition, what):
    lines = text.split("\n")
    hits = [i for i, line in enumerate(lines) if line.strip() == anchor]
    if len(hits) != 1:
        sys.exit(f"make_platform: {what}: expected one line '{anchor}', found {len(hits)}")
    lines.insert(hits[0] + 1, addition)
    return "\n".join(lines)


def replace_define(text, key, value):
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if line.strip().startswith(key + " ") or line.strip().startswith(key + "="):
            lines[i] = f"  {key:<30} = {value}"
            return "\n".join(lines)
    sys.exit(f"make_platform: DSC define {key} not found")


dsc = (TREE / "OvmfPkg/OvmfPkgIa32X64.dsc").read_text()
dsc = replace_define(dsc, "OUTPUT_DIRECTORY", "Build/SbOvmf3264")
dsc = replace_define(dsc, "FLASH_DEFINITION", f"{OUT.name}/{NAME}.fdf")
dsc = insert_after(dsc, "OvmfPkg/PlatformPei/PlatformPei.inf",
                   "!include SbPkg/TestPlatform/PeiComponents.dsc.inc", "DSC IA32 components")
dsc = insert_after(dsc, "UefiCpuPkg/CpuIo2Dxe/CpuIo2Dxe.inf",
                   "!include SbPkg/TestPlatform/DxeComponents.dsc.inc", "DSC X64 components")

fdf = (TREE / "OvmfPkg/OvmfPkgIa32X64.fdf").read_text()
fdf = insert_after(fdf, "INF  OvmfPkg/PlatformPei/PlatformPei.inf",
                   "!include SbPkg/TestPlatform/PeiFv.fdf.inc", "FDF PEIFV")
fdf = insert_after(fdf, "INF  UefiCpuPkg/CpuIo2Dxe/CpuIo2Dxe.inf",
                   "!include SbPkg/TestPlatform/DxeFv.fdf.inc", "FDF DXEFV")
fdf = fdf.rstrip("\n") + "\n\n!include SbPkg/TestPlatform/Rules.fdf.inc\n"

# The FDF parser looks for included files beside the FDF and in the workspace only, not along
# PACKAGES_PATH: give every include its full path.
OUR_PACKAGE_ROOT = pathlib.Path(__file__).resolve().parent


def absolute_include(line):
    if not line.startswith("!include "):
        return line
    name = line.split(None, 1)[1].strip()
    for base in (TREE / "OvmfPkg", TREE, OUR_PACKAGE_ROOT):
        if (base / name).exists():
            return f"!include {base / name}"
    return line


fdf = "\n".join(absolute_include(line) for line in fdf.split("\n"))

OUT.mkdir(parents=True, exist_ok=True)
for suffix, text in ((".dsc", dsc), (".fdf", fdf)):
    path = OUT / (NAME + suffix)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)
print(OUT / (NAME + ".dsc"))
