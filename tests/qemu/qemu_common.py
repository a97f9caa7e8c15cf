"""What the QEMU runners share: sockets, QMP, and the speaker and POST-code evidence taken from
QEMU's trace of I/O writes and its speaker WAV."""
import re
import socket
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
