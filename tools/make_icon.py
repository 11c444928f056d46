#!/usr/bin/env python3
"""Draws the program's icon (a ring with a download arrow on a rounded tile, drawn on a 32-unit
grid) and writes it as a PNG of PIXELS x PIXELS (32 by default). Standard library only, so that
the icons can be remade anywhere:
    python3 tools/make_icon.py src/ui/resources/quillet.png
    python3 tools/make_icon.py packaging/icons/48x48/quillet.png 48
    python3 tools/make_icon.py packaging/icons/256x256/quillet.png 256
packaging/icons/quillet.svg draws the same shapes as vectors.
"""
import math
import struct
import sys
import zlib

SIZE = 32  # the drawing grid, in units
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


def render(pixels):
    unit = SIZE / pixels  # drawing units per pixel
    rows = []
    for py in range(pixels):
        row = bytearray([0])  # filter: none
        for px in range(pixels):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = shade((px + (sx + 0.5) / SAMPLES) * unit,
                                   (py + (sy + 0.5) / SAMPLES) * unit)
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
    pixels = int(sys.argv[2]) if len(sys.argv) > 2 else SIZE
    header = struct.pack(">IIBBBBB", pixels, pixels, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
           chunk(b"IDAT", zlib.compress(render(pixels), 9)) + chunk(b"IEND", b""))
    with open(sys.argv[1], "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
