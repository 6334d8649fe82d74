#!/usr/bin/env python3
"""Draws the launcher's square logo (logo.png, 256 x 256) with the standard
library only: a dark rounded tile, a mint "T" made of two bars and a violet
spark in the corner, anti-aliased by 4 x 4 supersampling.
Run: python3 make_logo.py  (writes logo.png beside this script)."""
import os
import struct
import zlib

SIZE = 256
SS = 4  # samples per pixel and axis

TILE = (0x20, 0x24, 0x2D)
EDGE = (0x34, 0x3A, 0x46)
MINT = (0x8C, 0xE3, 0xBD)
VIOLET = (0xAA, 0x99, 0xF4)


def inside_rounded(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour_at(x, y):
    """Colour and coverage of one sample (x, y in pixels)."""
    if not inside_rounded(x, y, 8, 8, 248, 248, 48):
        return None
    if not inside_rounded(x, y, 14, 14, 242, 242, 42):
        return EDGE
    # the "T": a top bar and a stem, with rounded ends
    if inside_rounded(x, y, 56, 60, 200, 98, 14) or inside_rounded(x, y, 109, 60, 147, 204, 14):
        return MINT
    # a four-pointed spark at the upper right
    dx, dy = abs(x - 204), abs(y - 186)
    if (dx ** 0.5 + dy ** 0.5) <= 5.2:
        return VIOLET
    return TILE


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type 0
        for px in range(SIZE):
            r = g = b = a = 0
            for sy in range(SS):
                for sx in range(SS):
                    c = colour_at(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            n = SS * SS
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // n))
            else:
                row += bytes((0, 0, 0, 0))
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + \
        chunk(b"IDAT", zlib.compress(render(), 9)) + chunk(b"IEND", b"")
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "logo.png"), "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
