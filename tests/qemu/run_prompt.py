#!/usr/bin/env python3
"""Boots CmosErrorPrompt.efi under OVMF in QEMU with the test platform, answers the prompt with
a key sent through QMP, and checks what a person at the machine would see and hear.

    run_prompt.py --build BUILD_DIR --key f1|delete [--timeout SECONDS]

It starts one QEMU, talks to it over its serial socket and QMP, stops it with an overall
time-out, and kills only the process it started. Exit status 0 when every check passes."""
import argparse, os, shutil, sys, tempfile

from qemu_common import check_beeps, check_outcome, qemu_args, run_qemu

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--key", choices=["f1", "delete"], required=True)
    ap.add_argument("--timeout", type=float, default=90)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="prompt-qemu-")
    fs = os.path.join(work, "fs")
    os.mkdir(fs)
    for image in ("CmosErrorPrompt.efi", "TestPlatform.efi"):
        shutil.copy(os.path.join(args.build, image), fs)
    with open(os.path.join(fs, "startup.nsh"), "w") as f:
        f.write("fs0:\r\nload CmosErrorPrompt.efi\r\nTestPlatform.efi\r\n")
    vars_copy = os.path.join(work, "vars.fd")
    shutil.copy(OVMF_VARS, vars_copy)
    cmd, files = qemu_args(work, ["-no-reboot",
                                  "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF_CODE,
                                  "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
                                  "-drive", "file=fat:rw:" + fs + ",format=raw"])
    text, exit_status, elapsed = run_qemu(cmd, files, args.key, "Press F1 to Continue", "RESULT:", args.timeout)

    failures = []
    check_outcome(text, "", args.key, exit_status, failures)
    check_beeps(files["trace.log"], files["speaker.wav"], failures)
    print("key %s, run %.1f s, QEMU exit %s" % (args.key, elapsed, exit_status))
    if failures:
        print("serial output:\n" + text[-3000:])
        for f in failures:
            print("FAILED: " + f)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("passed: 5 lines, 2 beeps, choice as expected, CMOS flag cleared")
    return 0


if __name__ == "__main__":
    sys.exit(main())
