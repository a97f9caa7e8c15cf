#!/usr/bin/env python3
"""Prints, as a Markdown table, the size of our modules and of some of OVMF's own in an EDK2
build: the FFS file in the firmware volume (headers and sections included), the .efi image and
the image's parts (headers and each section as stored in the file).

    ffs_sizes.py BUILD_DIR     (Build/<platform>/<TARGET>_<TOOLCHAIN>)
"""
import pathlib
import struct
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



def image_parts(path):
    """'headers N, .text N, ...' from the PE headers of an image: raw sizes as in the file."""
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    headers = struct.unpack_from("<I", data, pe + 24 + 60)[0]
    parts = [f"headers {headers:,}"]
    for i in range(sections):
        name, raw_size = struct.unpack_from("<8s8xI", data, table + 40 * i)
        parts.append(f"{name.rstrip(bytes(1)).decode()} {raw_size:,}")
    return ", ".join(parts)


print("| module | arch | | FFS file in the FV | .efi image | image parts |")
print("|---|---|---|---:|---:|---|")
for name, arch, whose in MODULES:
    ffs = [f for d in (build / "FV" / "Ffs").glob(f"*{name}") for f in d.glob("*.ffs")]
    efi = build / arch / f"{name}.efi"
    ffs_size = f"{ffs[0].stat().st_size:,}" if len(ffs) == 1 else "-"
    efi_size = f"{efi.stat().st_size:,}" if efi.exists() else "-"
    parts = image_parts(efi) if efi.exists() else "-"
    print(f"| {name} | {arch} | {whose} | {ffs_size} | {efi_size} | {parts} |")
