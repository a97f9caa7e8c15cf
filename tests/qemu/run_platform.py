#!/usr/bin/env python3
"""Boots the EDK2-built test platform firmware (OVMF's OvmfPkgIa32X64 with SbPei,
CmosErrorPrompt and the test platform's modules) in QEMU, answers the prompt with a key sent
through QMP, and checks the whole run from the serial log and QEMU's trace of I/O writes:

  - the PEI core dispatched the platform hook PEIM, then SbPei (the hook is called at its three
    hook points), then the later PEIM that depends on SbPei's init-done PPI;
  - that PEIM found SbPei's PPIs and they answered: the private PPI (version, sleep boot mode,
    the hook's SMBus bases in the block), Stall (timed on the chipset's PM timer), Execute on
    both SMBus PPIs, and on the first boot ResetSystem, which restarted the machine through a
    write to port 0xCF9; the second boot goes through without a reset;
  - in DXE the configuration HOB holds the hook's values and the boot mode is PEI's;
  - CmosErrorPrompt showed its five lines, beeped twice, and the key gave its choice.

    run_platform.py --firmware DIR --key f1|delete [--timeout SECONDS]

DIR holds OVMF.fd and SbTestBoot.efi (edk2/build_platform.sh). It starts one QEMU and kills
only that one. Exit status 0 when every check passes."""
import argparse
import os
import re
import shutil
import sys
import tempfile

from qemu_common import check_beeps, check_outcome, qemu_args, run_qemu

HOOK_POINTS = ["0x100", "0x200", "0x201"]
PRIVATE_VERSION = "0x1112"
HOOK_SMBUS_BASES = ("0xB00", "0xB20")


def report_lines(text):
    return [line.strip() for line in text.splitlines() if line.startswith("SBTEST")]


def resets_through_cf9(trace_log):
    """Writes to port 0xCF9 that start a reset (bit 2 set), from QEMU's trace."""
    pattern = re.compile(r"memory_region_ops_write .*addr 0xcf9 value (0x[0-9a-f]+) size 1")
    values = []
    with open(trace_log, errors="replace") as f:
        for line in f:
            m = pattern.search(line)
            if m:
                values.append(int(m.group(1), 16))
    return [v for v in values if v & 0x04]


def check_boot(lines, number, failures):
    """One boot's PEI part: dispatch order, the PPIs and their answers. Returns the boot mode."""
    where = "boot %d" % number
    hooks = [line.split("point ", 1)[1] for line in lines if line.startswith("SBTEST hook: point ")]
    if hooks != HOOK_POINTS:
        failures.append("%s: hook points %r, expected %r" % (where, hooks, HOOK_POINTS))
    order = [i for i, line in enumerate(lines) if line.startswith(("SBTEST hook: platform hook PPI installed",
                                                                    "SBTEST hook: point 0x201",
                                                                    "SBTEST consumer: SbPei init done"))]
    if len(order) != 3 or order != sorted(order):
        failures.append("%s: hook PEIM, SbPei and the later PEIM not dispatched in that order" % where)
    mode = None
    for line in lines:
        m = re.match(r"SBTEST consumer: SbPei init done; boot mode (0x[0-9A-F]+)", line)
        if m:
            mode = m.group(1)
        m = re.match(r"SBTEST consumer: private PPI version (\S+) GetSleepBootMode (\S+) SmbusBase0 (\S+) "
                     r"SmbusBase1 (\S+)", line)
        if m and (m.group(1) != PRIVATE_VERSION or (m.group(3), m.group(4)) != HOOK_SMBUS_BASES):
            failures.append("%s: private PPI answered %r" % (where, line))
    if not any(line.startswith("SBTEST consumer: private PPI version") for line in lines):
        failures.append("%s: the private PPI was not found" % where)
    # On q35 nothing answers at the southbridge's PM registers: SbStall finds no timer port
    # there and waits with reads of port 0x80, which QEMU answers at once. The stall returns;
    # its length is not what this run can prove.
    timer_reg = [line.rsplit(" ", 1)[1] for line in lines if "timer port register 0xFED80364 reads" in line]
    if timer_reg != ["0x0"]:
        failures.append("%s: SbStall's timer port register read %r, expected 0x0 on q35" % (where, timer_reg))
    stall = [line for line in lines if line.startswith("SBTEST consumer: Stall(")]
    m = re.match(r"SBTEST consumer: Stall\((\d+) us\): Success, (\d+) us", stall[0]) if stall else None
    if not m:
        failures.append("%s: Stall did not answer Success: %r" % (where, stall))
    else:
        print("%s: Stall(%s us) took %s us on the PM timer" % (where, m.group(1), m.group(2)))
    for instance in (0, 1):
        answer = [line for line in lines if line.startswith("SBTEST consumer: SMBus PPI %d Execute" % instance)]
        if not answer:
            failures.append("%s: SMBus PPI %d not found or did not answer" % (where, instance))
    return mode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--firmware", required=True)
    ap.add_argument("--key", choices=["f1", "delete"], required=True)
    ap.add_argument("--timeout", type=float, default=240)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="platform-qemu-")
    flash = os.path.join(work, "OVMF.fd")
    shutil.copy(os.path.join(args.firmware, "OVMF.fd"), flash)
    # No -no-reboot: the reset through 0xCF9 must restart the machine, as on a board.
    cmd, files = qemu_args(work, ["-drive", "if=pflash,format=raw,unit=0,file=" + flash,
                                  "-kernel", os.path.join(args.firmware, "SbTestBoot.efi")])
    text, exit_status, elapsed = run_qemu(cmd, files, args.key, "SBTEST POST: Press F1 to Continue", "SBTEST RESULT:",
                                          args.timeout)
    trace_log = files["trace.log"]

    failures = []
    lines = report_lines(text)
    # Boots are split at the hook PEIM's install line: one per pass through PEI.
    starts = [i for i, line in enumerate(lines) if line.startswith("SBTEST hook: platform hook PPI installed")]
    boots = [lines[a:b] for a, b in zip(starts, starts[1:] + [len(lines)])]
    if len(boots) != 2:
        failures.append("%d boots through PEI, expected 2 (one reset)" % len(boots))
    modes = [check_boot(boot, n + 1, failures) for n, boot in enumerate(boots)]
    if boots:
        if "SBTEST consumer: ResetSystem" not in boots[0]:
            failures.append("boot 1: ResetSystem not called")
        if any(line.startswith("SBTEST consumer: ResetSystem returned") for line in lines):
            failures.append("ResetSystem returned instead of restarting the machine")
    if len(boots) == 2 and "SBTEST consumer: boot after the reset" not in boots[1]:
        failures.append("boot 2: the reset marker was not seen")
    cf9 = resets_through_cf9(trace_log)
    print("resets through port 0xCF9: %s" % ", ".join("0x%02X" % v for v in cf9))
    if len(cf9) != 1:
        failures.append("%d resets through port 0xCF9, expected 1" % len(cf9))

    last = boots[-1] if boots else []
    hob = [line for line in last if line.startswith("SBTEST dxe: HOB SmbusBase0")]
    m = re.match(r"SBTEST dxe: HOB SmbusBase0 (\S+) SmbusBase1 (\S+) Dev14F3MmioBase (\S+) SbFlags (\S+)", hob[0]) \
        if hob else None
    if not m or (m.group(1), m.group(2), m.group(3)) != HOOK_SMBUS_BASES + ("0xFEB00000",) \
            or int(m.group(4), 16) & 0x14 != 0x14:
        failures.append("DXE: configuration HOB %r does not hold the hook's values" % hob)
    dxe_mode = [line.rsplit(" ", 1)[1] for line in last if line.startswith("SBTEST dxe: boot mode ")]
    if not dxe_mode or not modes or dxe_mode[0] != modes[-1]:
        failures.append("DXE boot mode %r, PEI's was %r" % (dxe_mode, modes[-1:]))

    check_outcome(text, "SBTEST ", args.key, exit_status, failures)
    check_beeps(trace_log, files["speaker.wav"], failures)
    print("key %s, run %.1f s, QEMU exit %s" % (args.key, elapsed, exit_status))
    if failures:
        print("serial report lines:\n" + "\n".join(lines))
        for f in failures:
            print("FAILED: " + f)
        return 1
    print("\n".join(lines))
    shutil.rmtree(work, ignore_errors=True)
    print("passed: two boots with one reset through 0xCF9, PPIs answered, HOB and boot mode in DXE, "
          "5 lines, 2 beeps, choice as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
