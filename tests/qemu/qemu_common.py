"""What the QEMU runners share: sockets, QMP, and the speaker and POST-code evidence taken from
QEMU's trace of I/O writes and its speaker WAV."""
import os
import re
import socket
import subprocess
import time

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
    import json  # noqa: E402
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


def check_beeps(trace_log, wav_path, failures):
    """Two beeps of about 200 ms with a gap of about 200 ms, about 1.5 s after POST code 0x44,
    at about 928.5 Hz. Appends what is wrong to failures."""
    writes = speaker_writes(trace_log)
    ons = [t for t, v in writes if v & 3 == 3]
    offs = [t for t, v in writes if v & 3 == 0]
    if len(ons) != 2 or len(offs) != 2:
        failures.append("speaker writes %r, expected two on/off pairs" % writes)
    else:
        lengths = [(off - on) * 1000 for on, off in zip(ons, offs)]
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
    hz = wav_frequency(wav_path)
    print("speaker frequency: %s Hz" % ("%.1f" % hz if hz else "none"))
    if hz is None or not 900 <= hz <= 960:
        failures.append("speaker at %s Hz, expected about 928.5" % hz)


def qemu_args(work, machine_args):
    """The settings both runners share (q35 under TCG, no network or display, the speaker to a
    WAV, serial and QMP on sockets, the debug-exit port, a trace of I/O writes) around the
    machine-specific ones. Returns (command, files): files names the sockets and logs in work."""
    files = {name: os.path.join(work, name) for name in ("serial", "qmp", "serial.log", "trace.log", "speaker.wav")}
    cmd = (["qemu-system-x86_64", "-machine", "q35,pcspk-audiodev=snd0", "-accel", "tcg", "-m", "256",
            "-net", "none", "-vga", "none", "-display", "none",
            "-audiodev", "wav,id=snd0,path=" + files["speaker.wav"]] + machine_args +
           ["-chardev", "socket,id=ser,path=%s,server=on,wait=on,logfile=%s" % (files["serial"], files["serial.log"]),
            "-serial", "chardev:ser", "-qmp", "unix:%s,server=on,wait=off" % files["qmp"],
            "-device", "isa-debug-exit,iobase=0xf4,iosize=0x01",
            "-trace", "enable=memory_region_ops_write", "-D", files["trace.log"], "-msg", "timestamp=on"])
    return cmd, files


def run_qemu(cmd, files, key, prompt_marker, result_marker, timeout):
    """Starts QEMU, reads its serial port, types key through QMP once prompt_marker has been
    printed, and stops reading once the line after result_marker is complete. QEMU is given the
    rest of the time-out to end by itself, then killed (only the process started here).
    Returns (serial text, QEMU's exit status, seconds)."""
    start = time.monotonic()
    deadline = start + timeout
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    text = ""
    key_sent = False
    try:
        ser = connect(files["serial"], deadline)
        ser.settimeout(0.2)
        ctl = connect(files["qmp"], deadline)
        qmp(ctl, "qmp_capabilities")
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                data = ser.recv(4096)
                if not data:
                    break
                text += data.decode(errors="replace")
            except socket.timeout:
                pass
            if not key_sent and prompt_marker in text:
                time.sleep(0.5)
                qmp(ctl, "send-key", keys=[{"type": "qcode", "data": key}])
                key_sent = True
            if result_marker in text and "\n" in text.split(result_marker)[1]:
                break
        try:
            proc.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
    finally:
        if proc.poll() is None:
            proc.kill()  # ours only
            proc.wait()
    return text, proc.returncode, time.monotonic() - start


def check_outcome(text, prefix, key, exit_status, failures):
    """The prompt's lines (printed as PREFIX + "POST: " + line), and the RESULT line: the choice
    (0x01 for Del, 0xFF left for F1) and the CMOS flag cleared. Appends what is wrong."""
    posts = [line.split(prefix + "POST: ", 1)[1].strip() for line in text.splitlines() if prefix + "POST: " in line]
    if posts != LINES:
        failures.append("screen lines %r, expected %r" % (posts, LINES))
    m = re.search(prefix + r"RESULT: enter-setup 0x([0-9A-F]+) cmos46 0x([0-9A-F]+)", text)
    if not m:
        failures.append("no RESULT line (QEMU exit %s)" % exit_status)
        return
    choice, cmos = int(m.group(1), 16), int(m.group(2), 16)
    want = 0x01 if key == "delete" else 0xFF
    if choice != want:
        failures.append("enter-setup request 0x%02X, expected 0x%02X" % (choice, want))
    if cmos & 1:
        failures.append("CMOS flag still set (0x%02X)" % cmos)
