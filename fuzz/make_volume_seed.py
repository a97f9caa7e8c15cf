#!/usr/bin/env python3
"""Writes a small PEI volume as a seed for fuzz_volume: a 4 KiB volume at the top of the 4 GiB
space holding a PEI core (a PE32 image of one section, rebased to run where it lies) and a PEIM
(a TE image with a relocation, a dependency expression and a name), every checksum right. The
fuzzer starts from it and from the built volumes, which fuzz/run.sh hands it trimmed:

  make_volume_seed.py [OUT]           the small volume (default fuzz/corpus/volume/seed.Fv)
  make_volume_seed.py --trim IN OUT   IN without the free space after its last file (whole 4 KiB
                                      blocks kept, the header's length, block map and checksum
                                      made to match): half the bytes of a built volume are
                                      erased flash, and every byte of an input costs each run"""
import struct
import sys

SIZE = 0x1000
BASE = (1 << 32) - SIZE
FFS2 = bytes.fromhex("78e58c8c3d8a1c4f9935896185c32dd3")
CPU_IO_INSTALLED = bytes.fromhex("7b1fafe63ffcda46a828a3b457a44282")


def sum8(b):
    return sum(b) & 0xFF


def pe32(image_base):
    """An IA32 PE32 image: headers (0x100 bytes) and a .text section of 16 bytes at 0x100."""
    h = bytearray(0x100)
    struct.pack_into("<H", h, 0, 0x5A4D)
    struct.pack_into("<I", h, 0x3C, 0x40)
    coff, opt = 0x44, 0x58
    struct.pack_into("<IHHIIIHH", h, 0x40, 0x4550, 0x14C, 1, 0, 0, 0, 96, 0x0102)
    struct.pack_into("<H", h, opt, 0x10B)
    struct.pack_into("<I", h, opt + 16, 0x100)  # entry
    struct.pack_into("<I", h, opt + 28, image_base)
    struct.pack_into("<I", h, opt + 56, 0x110)  # size of image
    struct.pack_into("<I", h, opt + 60, 0x100)  # size of headers
    struct.pack_into("<I", h, opt + 92, 0)  # no data directories
    struct.pack_into("<8sIIIIIIHHI", h, opt + 96, b".text", 0x10, 0x100, 0x10, 0x100, 0, 0, 0, 0, 0x60000020)
    assert coff + 20 == opt
    return bytes(h) + b"\xf3\x90\xeb\xfc" + b"\x90" * 12  # pause; jmp back


def te(image_base_te_header):
    """An IA32 TE image of one section with one HIGHLOW relocation of a word in it."""
    stripped = 0x100
    image_base = image_base_te_header - stripped + 40
    text_rva, reloc_rva = 0x100 + 0x50, 0x100 + 0x60
    hdr = struct.pack("<HHBBHIIQIIII", 0x5A56, 0x14C, 2, 0x0B, stripped, text_rva, text_rva, image_base,
                      reloc_rva, 12, 0, 0)
    sec = struct.pack("<8sIIIIIIHHI", b".text", 0x10, text_rva, 0x10, text_rva, 0, 0, 0, 0, 0x60000020)
    sec += struct.pack("<8sIIIIIIHHI", b".reloc", 0x0C, reloc_rva, 0x0C, reloc_rva, 0, 0, 0, 0, 0x42000040)
    body = bytearray(hdr + sec)
    body += bytes((text_rva - stripped + 40) - len(body))
    target = image_base + text_rva + 8  # a word that holds its own address
    body += b"\xb8" + struct.pack("<I", target) + b"\xc3\x90\x90" + struct.pack("<I", target) + b"\x90" * 4
    body += struct.pack("<IIHH", text_rva, 12, 0x3000 | 8, 0)
    return bytes(body)


def section(kind, data):
    size = 4 + len(data)
    return struct.pack("<I", size)[:3] + bytes([kind]) + data


def pad4(b):
    return b + b"\x00" * (-len(b) % 4)


def ffs(name, kind, sections):
    data = b"".join(pad4(s) for s in sections)
    size = 24 + len(data)
    h = bytearray(name + bytes([0, 0xAA, kind, 0]) + struct.pack("<I", size)[:3] + bytes([0xF8]))
    h[16] = (-(sum8(h) - h[17] - h[23])) & 0xFF
    return bytes(h) + data


def volume():
    header = bytearray(72)
    header[16:32] = FFS2
    struct.pack_into("<QIIHHHBB", header, 32, SIZE, 0x4856465F, 0x0004FEFF, 72, 0, 0, 0, 2)
    struct.pack_into("<IIII", header, 56, SIZE // 0x1000, 0x1000, 0, 0)
    checksum = (-sum(struct.unpack("<36H", header))) & 0xFFFF
    struct.pack_into("<H", header, 50, checksum)
    body = bytearray(header)
    # The PEI core: its PE32 section's data must land where its image is linked for.
    core_at = len(body) + 24 + 4
    body += ffs(bytes(range(16)), 0x04, [section(0x10, pe32(BASE + core_at))])
    body += b"\xff" * (-len(body) % 8)
    peim_at = len(body)
    depex = section(0x1B, b"\x02" + CPU_IO_INSTALLED + b"\x08")
    te_at = peim_at + 24 + len(pad4(depex)) + 4
    name = section(0x15, "Seed".encode("utf-16-le") + b"\x00\x00")
    body += ffs(bytes(range(16, 32)), 0x06, [depex, section(0x12, te(BASE + te_at)), name])
    body += b"\xff" * (SIZE - len(body))
    return bytes(body)


def header_checksum(header):
    struct.pack_into("<H", header, 50, 0)
    length = struct.unpack_from("<H", header, 48)[0]
    struct.pack_into("<H", header, 50, (-sum(struct.unpack_from(f"<{length // 2}H", header))) & 0xFFFF)


def trim(volume_bytes):
    """The volume cut after its last byte that is not erased flash, rounded up to a block."""
    used = len(volume_bytes.rstrip(b"\xff"))
    size = min(len(volume_bytes), (used + 0xFFF) & ~0xFFF)
    out = bytearray(volume_bytes[:size])
    struct.pack_into("<Q", out, 32, size)
    if struct.unpack_from("<H", out, 48)[0] == 72:  # a block map of one run: 4 KiB blocks to the new end
        struct.pack_into("<IIII", out, 56, size // 0x1000, 0x1000, 0, 0)
    header_checksum(out)
    return bytes(out)


if len(sys.argv) == 4 and sys.argv[1] == "--trim":
    open(sys.argv[3], "wb").write(trim(open(sys.argv[2], "rb").read()))
else:
    open(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus/volume/seed.Fv", "wb").write(volume())
