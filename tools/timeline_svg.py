#!/usr/bin/env python3
"""Draws a timeline written by `sbsim --timeline` as an SVG picture: one band per phase, each
on its own time scale (a PEI pass lasts milliseconds, DXE seconds), spans stacked by nesting,
instants as ticks, and the hardware accesses per microsecond as a strip under each band.

    timeline_svg.py TIMELINE.json OUT.svg"""
import json
import sys
from html import escape

WIDTH, LEFT, RIGHT = 1100, 150, 20
ROW, GAP = 18, 26
COLOURS = ["#4e79a7", "#59a14f", "#f28e2b", "#e15759", "#76b7b2", "#edc948", "#b07aa1"]


def main(path, out_path):
    events = json.load(open(path))["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    spans = [e for e in events if e["ph"] == "X"]
    instants = [e for e in events if e["ph"] == "i"]
    counts = [e for e in events if e["ph"] == "C"]
    svg, y = [], 10
    plot = WIDTH - LEFT - RIGHT
    for tid in sorted(names):
        track = sorted((s for s in spans if s["tid"] == tid), key=lambda s: (s["ts"], -s["dur"]))
        if not track:
            continue
        start = track[0]["ts"]
        length = max(s["ts"] + s["dur"] for s in track) - start or 1.0
        x = lambda t: LEFT + (t - start) / length * plot  # noqa: E731
        # Depth: how many spans already open contain this one.
        open_spans, rows = [], []
        for s in track:
            while open_spans and open_spans[-1] <= s["ts"] and len(open_spans) > 0:
                open_spans.pop()
            rows.append(len(open_spans))
            open_spans.append(s["ts"] + s["dur"])
        depth = max(rows) + 1
        unit, scale = ("ms", 1000.0) if length >= 1000 else ("us", 1.0)
        svg.append('<text x="8" y="%d" font-weight="bold">%s</text>' % (y + 14, escape(names[tid])))
        svg.append('<text x="8" y="%d" font-size="11" fill="#555">%.2f %s</text>' % (y + 30, length / scale, unit))
        for s, row in zip(track, rows):
            x0, w = x(s["ts"]), max(1.0, s["dur"] / length * plot)
            top = y + row * ROW
            colour = COLOURS[sum(map(ord, s["name"].split(" ")[0])) % len(COLOURS)]
            svg.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" opacity="0.85"><title>%s: %.1f us</title>'
                       '</rect>' % (x0, top, w, ROW - 2, colour, escape(s["name"]), s["dur"]))
            if w > 7 * len(s["name"]):
                svg.append('<text x="%.1f" y="%d" font-size="11" fill="white">%s</text>' % (x0 + 3, top + 12,
                                                                                           escape(s["name"])))
        base = y + depth * ROW + 4
        # Accesses per microsecond, as a strip of bars.
        pixels = {}  # the busiest microsecond under each pixel
        for c in counts:
            if start <= c["ts"] <= start + length:
                px = int(x(c["ts"]))
                pixels[px] = max(pixels.get(px, 0), c["args"]["accesses"])
        peak = max(list(pixels.values()) + [1])
        for px, n in sorted(pixels.items()):
            h = 16.0 * n / peak
            if h > 0:
                svg.append('<rect x="%d" y="%.1f" width="1" height="%.1f" fill="#888"/>' % (px, base + 16 - h, h))
        svg.append('<text x="8" y="%d" font-size="10" fill="#555">accesses/us (peak %d)</text>' % (base + 14, peak))
        base += 20
        for n, i in enumerate(e for e in instants if e["tid"] == tid):
            xi = x(i["ts"])
            svg.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#d62728"/>' % (xi, base, xi, base + 8))
            anchor, dx = ("end", -2) if xi > WIDTH - 200 else ("start", 2)
            svg.append('<text x="%.1f" y="%d" font-size="10" fill="#d62728" text-anchor="%s">%s</text>'
                       % (xi + dx, base + 18 + 11 * (n % 4), anchor, escape(i["name"])))
        y = base + 18 + 11 * 4 + GAP
    svg.insert(0, '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
                  'font-size="12"><rect width="100%%" height="100%%" fill="white"/>' % (WIDTH, y))
    svg.append("</svg>")
    open(out_path, "w").write("\n".join(svg) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
