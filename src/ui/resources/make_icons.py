#!/usr/bin/env python3
"""Draws the style sheet's small images in the window's palette, at twice the
size that the style sheet shows them (sharp on scaled screens): the spin-box
and drop-down arrows (arrow-up.png, arrow-down.png) and the check-box tick
(check.png), anti-aliased by 4 x 4 supersampling, with the standard library only.
Run: python3 make_icons.py  (writes the images beside this script)."""
import os
import struct
import zlib

from make_logo import chunk

SS = 4
MUTED = (0xA6, 0xAD, 0xBC)
DARK = (0x11, 0x25, 0x1C)


def triangle_up(x, y, w, h):
    """A filled triangle pointing up, its base on the bottom edge."""
    half = (w / 2) * (y / h)
    return abs(x - w / 2) <= half


def tick(x, y, w, h):
    """A tick of two strokes, 3 px wide, through fixed points of the square."""
    def near(ax, ay, bx, by):
        vx, vy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
        px, py = ax + t * vx, ay + t * vy
        return (x - px) ** 2 + (y - py) ** 2 <= 2.25 * (w / 20) ** 2
    s = w / 28
    return near(6 * s, 14 * s, 11.5 * s, 19.5 * s) or near(11.5 * s, 19.5 * s, 22 * s, 8 * s)


def image(w, h, colour, inside):
    rows = []
    for py in range(h):
        row = bytearray([0])
        for px in range(w):
            hits = sum(inside(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS, w, h)
                       for sy in range(SS) for sx in range(SS))
            row += bytes(colour) + bytes((255 * hits // (SS * SS),))
        rows.append(bytes(row))
    header = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + \
        chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    images = {
        "arrow-up.png": image(20, 12, MUTED, triangle_up),
        "arrow-down.png": image(20, 12, MUTED, lambda x, y, w, h: triangle_up(x, h - y, w, h)),
        "check.png": image(28, 28, DARK, tick),
    }
    for name, png in images.items():
        with open(os.path.join(here, name), "wb") as out:
            out.write(png)


if __name__ == "__main__":
    main()
