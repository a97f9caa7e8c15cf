#!/usr/bin/env python3
"""Boots boards again and again, each boot its own sbsim process (so that each meets its own
address-space layout), and checks that nothing fails that should not and that a board always
gives the same boot.

    soak.py --sbsim PATH [--volume FV] [--boots N | --seconds S] [--random-boards K] [--jobs J]

The boots cycle over the engines (host, image, and the volume when one is given) and the boards
(the example boards and K random boards, `sbsim --random-board SEED`). For each (engine, board)
the first boot sets what every later one must give again: the same exit status and the same
folded trace (delays folded, no times). A boot that crashes (a signal, or an exit status other
than 0 and 1) or that says the simulator could not map its memory is a failure in itself.
Exit status 0 when there was no failure; the last line gives the counts."""
import argparse
import concurrent.futures
import hashlib
import itertools
import os
import subprocess
import sys
import tempfile
import threading
import time

ap = argparse.ArgumentParser()
ap.add_argument("--sbsim", required=True)
ap.add_argument("--volume", help="a PEI volume to boot as the third engine")
ap.add_argument("--boards", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "boards"))
ap.add_argument("--boots", type=int, default=0, help="this many boots in all")
ap.add_argument("--seconds", type=float, default=0, help="boot for this long instead")
ap.add_argument("--random-boards", type=int, default=20)
ap.add_argument("--jobs", type=int, default=os.cpu_count())
ap.add_argument("--label", default="")
args = ap.parse_args()
if (args.boots > 0) == (args.seconds > 0):
    sys.exit("soak.py: give --boots or --seconds")

boards = [["--", os.path.join(args.boards, f)] for f in sorted(os.listdir(args.boards)) if f.endswith(".toml")]
boards += [["--random-board", str(seed)] for seed in range(1, args.random_boards + 1)]
engines = [["--engine", "host"], ["--engine", "image"]] + ([["--pei-volume", args.volume]] if args.volume else [])
cases = [(e, b) for b in boards for e in engines]
scratch = tempfile.mkdtemp(prefix="soak-")
first = {}  # case index -> (exit status, trace digest)
lock = threading.Lock()
failures, done = [], [0]
deadline = time.monotonic() + args.seconds if args.seconds else None


def boot(n):
    index = n % len(cases)
    engine, board = cases[index]
    folded = os.path.join(scratch, f"{n}.folded")
    run = subprocess.run([args.sbsim, *engine, "--folded-trace", folded, *board], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    try:
        with open(folded, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        os.remove(folded)
    except FileNotFoundError:
        digest = None
    what = " ".join(engine + [b for b in board if b != "--"])
    problem = None
    if run.returncode not in (0, 1) or "cannot map" in run.stderr:
        problem = f"exit status {run.returncode}: {run.stderr.strip()[-300:]}"
    with lock:
        done[0] += 1
        if problem is None:
            seen = first.setdefault(index, (run.returncode, digest))
            if seen != (run.returncode, digest):
                problem = (f"exit status {run.returncode} and trace {str(digest)[:12]}, where the first boot gave "
                           f"{seen[0]} and {str(seen[1])[:12]}")
        if problem:
            failures.append(f"boot {n} ({what}): {problem}")


started = time.monotonic()
with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
    if args.boots:
        list(pool.map(boot, range(args.boots)))
    else:
        pending = set()
        for n in itertools.count():
            if time.monotonic() >= deadline:
                break
            pending.add(pool.submit(boot, n))
            if len(pending) >= 2 * args.jobs:
                finished, pending = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
        concurrent.futures.wait(pending)
elapsed = time.monotonic() - started
for f in failures[:20]:
    print(f)
boards_booted = len({i // len(engines) for i in first})
print(f"soak{(' ' + args.label) if args.label else ''}: {done[0]} boots in {elapsed:.0f} s ({done[0] / elapsed:.1f} a second) "
      f"over {len(engines)} engine(s) and {boards_booted} board(s), {len(failures)} failure(s)")
sys.exit(1 if failures or done[0] == 0 else 0)
