#!/usr/bin/env python3
"""Draws "Lumen Server.png", the window icon of lumen_info: a monitor whose screen glows.

Plain Python 3 (no imaging library): shapes are signed distance functions, antialiased by their
distance to the edge, composited "over" onto a transparent 128 x 128 canvas and written as PNG.
Usage: make_icon.py [output path]   (default: "Lumen Server.png" next to this script)
"""
import math
import os
import struct
import sys
import zlib

SIZE = 128


def rounded_rect(x, y, left, top, right, bottom, radius):
    """Signed distance from (x, y) to a rounded rectangle (negative inside)."""
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - radius, (bottom - top) / 2 - radius
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def coverage(distance):
    return min(max(0.5 - distance, 0.0), 1.0)


def over(dst, colour, alpha):
    """Composites a straight-alpha colour over a straight-alpha pixel."""
    r, g, b, a = dst
    out_a = alpha + a * (1 - alpha)
    if out_a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = lambda s, d: (s * alpha + d * a * (1 - alpha)) / out_a
    return (mix(colour[0], r), mix(colour[1], g), mix(colour[2], b), out_a)


def lerp(c1, c2, t):
    return tuple(p + (q - p) * t for p, q in zip(c1, c2))


BEZEL = (10, 16, 118, 96, 9)
SCREEN = (17, 23, 111, 88, 4)


def pixel(px, py):
    x, y = px + 0.5, py + 0.5
    out = (0.0, 0.0, 0.0, 0.0)

    # A soft cyan halo around the monitor.
    d = rounded_rect(x, y, *BEZEL)
    if d > 0:
        out = over(out, (90, 200, 255), 0.55 * math.exp(-(d / 7.0) ** 2))

    # Stand: neck and foot.
    stand = (52, 64, 72)
    out = over(out, stand, coverage(rounded_rect(x, y, 56, 90, 72, 110, 1)))
    out = over(out, stand, coverage(rounded_rect(x, y, 34, 106, 94, 115, 4)))

    # Bezel.
    out = over(out, (33, 43, 50), coverage(d))

    # Screen: a blue gradient lit from the centre.
    s = coverage(rounded_rect(x, y, *SCREEN))
    if s > 0:
        t = (y - SCREEN[1]) / (SCREEN[3] - SCREEN[1])
        colour = lerp((36, 140, 230), (12, 60, 150), t)
        glow = math.exp(-(math.hypot(x - 64, (y - 55) * 1.3) / 24.0) ** 2)
        colour = lerp(colour, (205, 240, 255), 0.85 * glow)
        # A faint diagonal sheen over the upper left of the glass.
        edge = ((x - SCREEN[0]) + (y - SCREEN[1]) * 1.6 - 46) / math.hypot(1, 1.6)
        colour = lerp(colour, (255, 255, 255), 0.10 * coverage(edge))
        out = over(out, colour, s)

    # Power light under the screen.
    out = over(out, (120, 225, 255), coverage(math.hypot(x - 64, y - 92) - 1.8))
    return out


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "Lumen Server.png")
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r, g, b, a = pixel(px, py)
            row += [round(r), round(g), round(b), round(a * 255)]
        rows.append(row)
    with open(target, "wb") as f:
        f.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
