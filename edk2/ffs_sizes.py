#!/usr/bin/env python3
"""Prints, as a Markdown table, the size of our modules and of some of OVMF's own in an EDK2
build: the FFS file in the firmware volume (headers and sections included) and the .efi image.

    ffs_sizes.py BUILD_DIR     (Build/<platform>/<TARGET>_<TOOLCHAIN>)
"""
import pathlib
import sys

build = pathlib.Path(sys.argv[1])
MODULES = [  # (base name, architecture, whose)
    ("SbPei", "IA32", "ours, TE"),
    ("CmosErrorPrompt", "X64", "ours"),
    ("S3Resume2Pei", "IA32", "OVMF"),
    ("PcdPeim", "IA32", "OVMF"),
    ("CpuIo2Dxe", "X64", "OVMF"),
    ("Metronome", "X64", "OVMF"),
]

print("| module | arch | | FFS file in the FV | .efi image |")
print("|---|---|---|---:|---:|")
for name, arch, whose in MODULES:
    ffs = [f for d in (build / "FV" / "Ffs").glob(f"*{name}") for f in d.glob("*.ffs")]
    efi = build / arch / f"{name}.efi"
    ffs_size = f"{ffs[0].stat().st_size:,}" if len(ffs) == 1 else "-"
    efi_size = f"{efi.stat().st_size:,}" if efi.exists() else "-"
    print(f"| {name} | {arch} | {whose} | {ffs_size} | {efi_size} |")
