#!/usr/bin/env python3
"""Draws the program's icon (a ring with a download arrow on a rounded tile, drawn on a 32-unit
grid) and writes it as a PNG of PIXELS x PIXELS (32 by default), or, for a name ending in .ico, as
a Windows icon holding 16, 24, 32 and 48 pixels as bitmaps and 256 as a PNG. "sort-up" and
"sort-down" instead of PIXELS write the 10 x 10 header arrows of the Windows window, black on
white, as bitmaps. Standard library only, so that the icons can be remade anywhere:
    python3 tools/make_icon.py src/ui/resources/quillet.png
    python3 tools/make_icon.py packaging/icons/48x48/quillet.png 48
    python3 tools/make_icon.py packaging/icons/256x256/quillet.png 256
    python3 tools/make_icon.py src/win32/resources/quillet.ico
    python3 tools/make_icon.py src/win32/resources/sort_up.bmp sort-up
    python3 tools/make_icon.py src/win32/resources/sort_down.bmp sort-down
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


def png(pixels):
    header = struct.pack(">IIBBBBB", pixels, pixels, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(render(pixels), 9)) + chunk(b"IEND", b""))


def icon_bitmap(pixels):
    """One icon image as Windows stores it: a BITMAPINFOHEADER of twice the height, the BGRA rows
    bottom up, then the 1-bit transparency mask, its rows padded to 32 bits."""
    rgba = render(pixels)
    stride = 1 + 4 * pixels  # each row starts with the PNG filter byte
    colour = bytearray()
    mask = bytearray()
    mask_stride = (pixels + 31) // 32 * 4
    for y in reversed(range(pixels)):
        row = rgba[y * stride + 1:(y + 1) * stride]
        bits = bytearray(mask_stride)
        for x in range(pixels):
            r, g, b, a = row[4 * x:4 * x + 4]
            colour += bytes([b, g, r, a])
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, pixels, 2 * pixels, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def ico():
    images = [(p, icon_bitmap(p)) for p in (16, 24, 32, 48)] + [(256, png(256))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for pixels, data in images:
        side = pixels % 256  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def arrow_bitmap(up):
    """A 10 x 10 24-bit bitmap: a black triangle, its point up or down, on white."""
    side = 10
    rows = []
    for y in range(side):
        depth = (y - 3) if up else (6 - y)  # 0 at the point, 3 at the base (rows 3 to 6)
        row = bytearray()
        for x in range(side):
            inside = 0 <= depth <= 3 and abs(x - 4.5) < depth + 1
            row += bytes([0, 0, 0]) if inside else bytes([255, 255, 255])
        row += bytes((4 - len(row) % 4) % 4)
        rows.append(bytes(row))
    pixels = b"".join(reversed(rows))  # bottom up
    info = struct.pack("<IiiHHIIiiII", 40, side, side, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    return struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info)) + \
        info + pixels


def main():
    kind = sys.argv[2] if len(sys.argv) > 2 else str(SIZE)
    if kind in ("sort-up", "sort-down"):
        data = arrow_bitmap(kind == "sort-up")
    elif sys.argv[1].endswith(".ico"):
        data = ico()
    else:
        data = png(int(kind))
    with open(sys.argv[1], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
