#!/usr/bin/env python3
"""Boots CmosErrorPrompt.efi under OVMF in QEMU with the test platform, answers the prompt with
a key sent through QMP, and checks what a person at the machine would see and hear.

    run_prompt.py --build BUILD_DIR --key f1|delete [--timeout SECONDS]

It starts one QEMU, talks to it over its serial socket and QMP, stops it with an overall
time-out, and kills only the process it started. Exit status 0 when every check passes."""
import argparse, os, re, shutil, socket, subprocess, sys, tempfile, time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
LINES = ["CMOS Checksum error", "CMOS Date/Time Not set", "The default values has been loaded",
         "Press F1 to Continue", "Press Del to Enter BIOS Setup"]


def connect(path, deadline):
    while True:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            return s
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def qmp(sock, command, **arguments):
    import json
    sock.sendall((json.dumps({"execute": command, "arguments": arguments}) + "\n").encode())


def speaker_writes(trace_path):
    """(seconds, value) of every write to port 0x61, from QEMU's trace."""
    writes = []
    pattern = re.compile(r"(\d+)@(\d+)\.(\d+):memory_region_ops_write .*addr 0x61 value (0x[0-9a-f]+) size 1")
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = pattern.search(line)
            if m:
                writes.append((int(m.group(2)) + int(m.group(3)) / 1e6, int(m.group(4), 16)))
    return writes


def post_code_time(trace_path):
    """When 0x44 was written to the POST code port, from QEMU's trace."""
    pattern = re.compile(r"(\d+)@(\d+)\.(\d+):memory_region_ops_write .*addr 0x80 value 0x44 size 1")
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = pattern.search(line)
            if m:
                return int(m.group(2)) + int(m.group(3)) / 1e6
    return None


def wav_frequency(path):
    """The tone's frequency from the speaker's WAV (QEMU leaves the silence out): rising zero
    crossings over the whole file."""
    import wave, struct
    with wave.open(path) as w:
        rate, n, width, channels = w.getframerate(), w.getnframes(), w.getsampwidth(), w.getnchannels()
        raw = w.readframes(n)
    if n == 0 or width != 2:
        return None
    samples = struct.unpack("<%dh" % (len(raw) // 2), raw)[::channels]
    mean = sum(samples) / len(samples)
    rising = sum(1 for a, b in zip(samples, samples[1:]) if a < mean <= b)
    return rising * rate / len(samples)


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
    writes = speaker_writes(trace_log)
    ons = [t for t, v in writes if v & 3 == 3]
    offs = [t for t, v in writes if v & 3 == 0]
    beeps = list(zip(ons, offs))
    if len(ons) != 2 or len(offs) != 2:
        failures.append("speaker writes %r, expected two on/off pairs" % writes)
    else:
        lengths = [(off - on) * 1000 for on, off in beeps]
        gap = (ons[1] - offs[0]) * 1000
        print("beeps: %.1f ms and %.1f ms, gap %.1f ms" % (lengths[0], lengths[1], gap))
        for ms in lengths + [gap]:
            if not 150 <= ms <= 400:
                failures.append("beep or gap of %.1f ms, expected about 200" % ms)
        posted = post_code_time(trace_log)
        if posted is None:
            failures.append("no POST code 0x44")
        else:
            pause = (ons[0] - posted) * 1000
            print("pause before the first beep: %.1f ms" % pause)
            if not 1400 <= pause <= 2500:
                failures.append("pause of %.1f ms before the beeps, expected about 1500" % pause)
    hz = wav_frequency(os.path.join(work, "speaker.wav"))
    print("speaker frequency: %s Hz" % ("%.1f" % hz if hz else "none"))
    if hz is None or not 900 <= hz <= 960:
        failures.append("speaker at %s Hz, expected about 928.5" % hz)
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
