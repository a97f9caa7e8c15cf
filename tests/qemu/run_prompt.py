#!/usr/bin/env python3
"""Boots CmosErrorPrompt.efi under OVMF in QEMU with the test platform, answers the prompt with
a key sent through QMP, and checks what a person at the machine would see and hear.

    run_prompt.py --build BUILD_DIR --key f1|delete [--timeout SECONDS]

It starts one QEMU, talks to it over its serial socket and QMP, stops it with an overall
time-out, and kills only the process it started. Exit status 0 when every check passes."""
import argparse, os, re, shutil, socket, subprocess, sys, tempfile, time

from qemu_common import LINES, check_beeps, connect, qmp

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
    serial_sock, qmp_sock = os.path.join(work, "serial"), os.path.join(work, "qmp")
    serial_log, trace_log = os.path.join(work, "serial.log"), os.path.join(work, "trace.log")

    cmd = ["qemu-system-x86_64", "-machine", "q35,pcspk-audiodev=snd0", "-accel", "tcg", "-m", "256",
           "-net", "none", "-vga", "none", "-display", "none", "-no-reboot",
           "-audiodev", "wav,id=snd0,path=" + os.path.join(work, "speaker.wav"),
           "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF_CODE,
           "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
           "-drive", "file=fat:rw:" + fs + ",format=raw",
           "-chardev", "socket,id=ser,path=%s,server=on,wait=on,logfile=%s" % (serial_sock, serial_log),
           "-serial", "chardev:ser", "-qmp", "unix:%s,server=on,wait=off" % qmp_sock,
           "-device", "isa-debug-exit,iobase=0xf4,iosize=0x01",
           "-trace", "enable=memory_region_ops_write", "-D", trace_log, "-msg", "timestamp=on"]
    start = time.monotonic()
    deadline = start + args.timeout
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    text = ""
    key_sent = None
    try:
        ser = connect(serial_sock, deadline)
        ser.settimeout(0.2)
        ctl = connect(qmp_sock, deadline)
        qmp(ctl, "qmp_capabilities")
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                data = ser.recv(4096)
                if not data:
                    break
                text += data.decode(errors="replace")
            except socket.timeout:
                pass
            if key_sent is None and "Press F1 to Continue" in text:
                time.sleep(0.5)
                qmp(ctl, "send-key", keys=[{"type": "qcode", "data": args.key}])
                key_sent = time.monotonic()
            if "RESULT:" in text and "\n" in text.split("RESULT:")[1]:
                break
        try:
            proc.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
    finally:
        if proc.poll() is None:
            proc.kill()  # ours only
            proc.wait()
    elapsed = time.monotonic() - start

    failures = []
    posts = [line.split("POST: ", 1)[1].strip() for line in text.splitlines() if "POST: " in line]
    if posts != LINES:
        failures.append("screen lines %r, expected %r" % (posts, LINES))
    m = re.search(r"RESULT: enter-setup 0x([0-9A-F]+) cmos46 0x([0-9A-F]+)", text)
    if not m:
        failures.append("no RESULT line (QEMU exit %s)" % proc.returncode)
    else:
        choice, cmos = int(m.group(1), 16), int(m.group(2), 16)
        want = 0x01 if args.key == "delete" else 0xFF
        if choice != want:
            failures.append("enter-setup request 0x%02X, expected 0x%02X" % (choice, want))
        if cmos & 1:
            failures.append("CMOS flag still set (0x%02X)" % cmos)
    check_beeps(trace_log, os.path.join(work, "speaker.wav"), failures)
    print("key %s, run %.1f s, QEMU exit %s" % (args.key, elapsed, proc.returncode))
    if failures:
        print("serial output:\n" + text[-3000:])
        for f in failures:
            print("FAILED: " + f)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("passed: %d lines, 2 beeps, choice as expected, CMOS flag cleared" % len(posts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
