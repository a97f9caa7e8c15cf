#!/usr/bin/env python3
"""Checks the dependency expression in SbPei's FFS file as the test platform built it: the
CPU I/O PPI and nothing else. A library instance with a dependency of its own (OVMF's PCD
library, for one) would make the boot-block module wait for that PPI as well.

    check_depex.py FFS_FILE
"""
import sys
import uuid

PEI_DEPEX_SECTION = 0x1B
PUSH, END = 0x02, 0x08
CPU_IO_PPI_INSTALLED = uuid.UUID("e6af1f7b-fc3f-46da-a828-a3b457a44282")


def sections(ffs):
    """(type, data) of each section after the 24-byte FFS header; sections are 4-byte aligned."""
    offset = 24
    while offset + 4 <= len(ffs):
        size = int.from_bytes(ffs[offset:offset + 3], "little")
        if size < 4:
            raise ValueError("section at %d has size %d" % (offset, size))
        yield ffs[offset + 3], ffs[offset + 4:offset + size]
        offset = (offset + size + 3) & ~3


def decode(depex):
    """The expression as a list of opcodes, with the GUID after each PUSH."""
    ops, i = [], 0
    while i < len(depex):
        op = depex[i]
        if op == PUSH:
            ops.append(("PUSH", uuid.UUID(bytes_le=bytes(depex[i + 1:i + 17]))))
            i += 17
        else:
            ops.append(("END",) if op == END else ("op 0x%02X" % op,))
            i += 1
    return ops


def main():
    ffs = open(sys.argv[1], "rb").read()
    found = [decode(data) for kind, data in sections(ffs) if kind == PEI_DEPEX_SECTION]
    expected = [[("PUSH", CPU_IO_PPI_INSTALLED), ("END",)]]
    print("SbPei dependency expression: %s" % found)
    if found != expected:
        print("FAILED: expected %s" % expected)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
