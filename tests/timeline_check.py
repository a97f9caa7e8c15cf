#!/usr/bin/env python3
"""Checks a timeline written by `sbsim --timeline` against the Chrome trace-event format (the
JSON object form that the Perfetto UI and chrome://tracing load) and against what a boot must
show.

    timeline_check.py FILE [--span NAME_PREFIX ...] [--instant NAME_PREFIX ...]

Exit status 0 when the document is well-formed, the complete events on each track nest, and
every span and instant named by prefix is there."""
import argparse
import json
import numbers
import sys

PHASES = {"X", "i", "C", "M"}


def check(doc, spans, instants):
    errors = []
    events = doc.get("traceEvents")
    if not isinstance(events, list) or not events:
        return ["no traceEvents array"]
    if doc.get("displayTimeUnit") not in (None, "ms", "ns"):
        errors.append("displayTimeUnit must be ms or ns")
    by_track = {}
    names = {"X": set(), "i": set()}
    for n, e in enumerate(events):
        where = "event %d (%s)" % (n, e.get("name"))
        ph = e.get("ph")
        if ph not in PHASES:
            errors.append("%s: ph %r" % (where, ph))
            continue
        if not isinstance(e.get("name"), str) or not isinstance(e.get("pid"), int):
            errors.append("%s: name must be a string and pid an integer" % where)
        if ph == "M":
            if e["name"] not in ("process_name", "thread_name", "thread_sort_index") or "args" not in e:
                errors.append("%s: metadata without a known name or args" % where)
            continue
        if not isinstance(e.get("ts"), numbers.Number) or e["ts"] < 0 or not isinstance(e.get("tid"), int):
            errors.append("%s: ts must be a number >= 0 and tid an integer" % where)
            continue
        if ph == "X":
            if not isinstance(e.get("dur"), numbers.Number) or e["dur"] < 0:
                errors.append("%s: complete event without a duration >= 0" % where)
                continue
            by_track.setdefault(e["tid"], []).append((e["ts"], e["ts"] + e["dur"], e["name"]))
            names["X"].add(e["name"])
        elif ph == "i":
            if e.get("s") not in ("t", "p", "g"):
                errors.append("%s: instant scope %r" % (where, e.get("s")))
            names["i"].add(e["name"])
        elif ph == "C":
            args = e.get("args")
            if not isinstance(args, dict) or not all(isinstance(v, numbers.Number) for v in args.values()):
                errors.append("%s: counter values must be numbers" % where)
    # Complete events on one track either nest or follow one another.
    for tid, track in by_track.items():
        track.sort(key=lambda s: (s[0], -s[1]))
        open_spans = []
        for start, end, name in track:
            while open_spans and open_spans[-1][1] <= start:
                open_spans.pop()
            if open_spans and end > open_spans[-1][1] + 1e-6:
                errors.append("track %d: %r overlaps %r without nesting" % (tid, name, open_spans[-1][2]))
            open_spans.append((start, end, name))
    for kind, wanted in (("X", spans), ("i", instants)):
        for prefix in wanted:
            if not any(name.startswith(prefix) for name in names[kind]):
                errors.append("no %s named %r..." % ("span" if kind == "X" else "instant", prefix))
    return errors


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--span", action="append", default=[])
    ap.add_argument("--instant", action="append", default=[])
    args = ap.parse_args()
    try:
        with open(args.file) as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        print("%s: not JSON: %s" % (args.file, e))
        return 1
    errors = check(doc, args.span, args.instant)
    for e in errors:
        print("%s: %s" % (args.file, e))
    if not errors:
        print("%s: %d events, well-formed" % (args.file, len(doc["traceEvents"])))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
