#!/usr/bin/env python3
"""Draws the program's 32 x 32 icon (a ring with a download arrow on a rounded tile) and writes it
as a PNG. Standard library only, so that the icon can be remade anywhere:
    python3 tools/make_icon.py src/ui/resources/quillet.png
"""
import math
import struct
import sys
import zlib

SIZE = 32
SAMPLES = 4  # per axis: each pixel averages 16 samples, for smooth edges

TILE = (31, 84, 122)
RING = (255, 255, 255)
ARROW = (242, 169, 0)


def rounded_tile(x, y):
    r = 6.0
    cx = min(max(x, r), SIZE - r)
    cy = min(max(y, r), SIZE - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 0 <= x <= SIZE and 0 <= y <= SIZE


def ring(x, y):
    d = math.hypot(x - 14.0, y - 14.0)
    return 6.5 <= d <= 10.0


def arrow(x, y):
    # A shaft from the ring's lower right towards the corner, ending in a head.
    ux, uy = math.sqrt(0.5), math.sqrt(0.5)
    px, py = x - 19.0, y - 19.0
    along = px * ux + py * uy
    across = -px * uy + py * ux
    if -1.0 <= along <= 6.0 and abs(across) <= 1.8:
        return True
    head = along - 6.0
    return 0.0 <= head <= 5.5 and abs(across) <= 4.8 * (1.0 - head / 5.5)


def shade(x, y):
    if not rounded_tile(x, y):
        return None
    if arrow(x, y):
        return ARROW
    if ring(x, y):
        return RING
    return TILE


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter: none
        for px in range(SIZE):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = shade(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if colour is not None:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            n = SAMPLES * SAMPLES
            if a:
                row += bytes([round(r / a), round(g / a), round(b / a), round(255 * a / n)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
           chunk(b"IDAT", zlib.compress(render(), 9)) + chunk(b"IEND", b""))
    with open(sys.argv[1], "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
