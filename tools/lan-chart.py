#!/usr/bin/env python3
"""Draws the emulated-LAN figures of `zolt_exchange_bench --lan` as an SVG chart:
turn time against humans, one at a time and at once, for each delay D, with
one client's own exchange, (4P+7) x D, as the line a turn cannot beat.

    build/bench/zolt_exchange_bench --lan > lan.txt
    python3 tools/lan-chart.py lan.txt docs/lan-turns.svg
"""
import math
import sys

W, H = 780, 440
LEFT, RIGHT, TOP, BOTTOM = 70, 250, 30, 60


def rows(path):
    """(humans, delay ms, one exchange ms, one at a time ms, at once ms) per table line."""
    for line in open(path):
        parts = line.split()
        if len(parts) >= 7 and "/" in parts[0] and parts[0].split("/")[0].isdigit():
            yield (int(parts[0].split("/")[0]), float(parts[1]), float(parts[2]),
                   float(parts[3]), float(parts[5]))


def main(source, target):
    data = list(rows(source))
    humans = sorted({r[0] for r in data})
    delays = sorted({r[1] for r in data})
    values = [v for r in data for v in r[2:]]
    low = 10 ** math.floor(math.log10(min(values)))
    high = 10 ** math.ceil(math.log10(max(values)))
    x_of = {h: LEFT + i * (W - LEFT - RIGHT) / max(1, len(humans) - 1) for i, h in enumerate(humans)}

    def y_of(ms):
        return TOP + (H - TOP - BOTTOM) * (1 - math.log10(ms / low) / math.log10(high / low))

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" '
           'font-family="sans-serif" font-size="12">',
           f'<rect width="{W}" height="{H}" fill="white"/>']
    decade = low
    while decade <= high:
        y = y_of(decade)
        out.append(f'<line x1="{LEFT}" x2="{W - RIGHT}" y1="{y:.1f}" y2="{y:.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{decade:g} ms</text>')
        decade *= 10
    for h, x in x_of.items():
        out.append(f'<text x="{x:.1f}" y="{H - BOTTOM + 18}" text-anchor="middle">{h}</text>')
    out.append(f'<text x="{(LEFT + W - RIGHT) / 2}" y="{H - 15}" text-anchor="middle">'
               'human players (bots: half as many)</text>')
    styles = [("one at a time", 3, "#c0392b", ""), ("at once", 4, "#2471a3", ""),
              ("one exchange, (4P+7) x D", 2, "#777", ' stroke-dasharray="5 4"')]
    legend_y = TOP
    for d_index, delay in enumerate(delays):
        width = 2.5 if d_index == 0 else 1.5
        for name, column, colour, dash in styles:
            points = [(x_of[r[0]], y_of(r[column])) for r in data if r[1] == delay]
            path = " ".join(f"{x:.1f},{y:.1f}" for x, y in points)
            out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                       f'stroke-width="{width}"{dash}/>')
            for x, y in points:
                out.append(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="2.5" fill="{colour}"/>')
            out.append(f'<line x1="{W - RIGHT + 12}" x2="{W - RIGHT + 36}" y1="{legend_y}" '
                       f'y2="{legend_y}" stroke="{colour}" stroke-width="{width}"{dash}/>')
            out.append(f'<text x="{W - RIGHT + 42}" y="{legend_y + 4}">{name}, D {delay:g} ms</text>')
            legend_y += 18
        legend_y += 8
    out.append("</svg>")
    with open(target, "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: lan-chart.py BENCH_OUTPUT SVG")
    main(sys.argv[1], sys.argv[2])
