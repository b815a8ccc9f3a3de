#!/usr/bin/env python3
"""Draws the installer's icon and writes it as setup.ico.

Three images, 16, 32 and 48 pixels square, each an uncompressed 32-bit DIB (colour
pixels with alpha, then the 1-bit transparency mask), in that order. The artwork is a
blue disc with an orange arrow pointing down into a tray: "install". Run it again after
changing the drawing; the output is deterministic.
"""
import math
import struct
import sys

SIZES = (16, 32, 48)
PIXELS_PER_METRE = 2835  # 72 dots per inch


def blend(under, over, alpha):
    return tuple(round(u * (1 - alpha) + o * alpha) for u, o in zip(under, over))


def coverage(size, x, y, inside):
    """Fraction of the pixel (x, y) inside the shape, by 4x4 supersampling."""
    hits = 0
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size
            v = (y + (sy + 0.5) / 4) / size
            hits += inside(u, v)
    return hits / 16


def in_disc(u, v):
    return math.hypot(u - 0.5, v - 0.5) <= 0.47


def in_arrow(u, v):
    shaft = 0.42 <= u <= 0.58 and 0.16 <= v <= 0.50
    head = 0.48 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.1
    return shaft or head


def in_tray(u, v):
    return 0.24 <= u <= 0.76 and 0.74 <= v <= 0.82


def draw(size):
    """Rows top to bottom of (b, g, r, a)."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            disc = coverage(size, x, y, in_disc)
            if disc == 0:
                row.append((0, 0, 0, 0))
                continue
            shade = 1.0 - 0.35 * (y / size)
            colour = (round(200 * shade), round(110 * shade), round(30 * shade))  # blue, as b, g, r
            mark = max(coverage(size, x, y, in_arrow), coverage(size, x, y, in_tray))
            colour = blend(colour, (40, 150, 250), mark)
            row.append(colour + (round(255 * disc),))
        rows.append(row)
    return rows


def dib(size):
    rows = draw(size)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIBs are stored bottom-up
        for b, g, r, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask),
                         PIXELS_PER_METRE, PIXELS_PER_METRE, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file():
    images = [dib(s) for s in SIZES]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


if __name__ == '__main__':
    target = sys.argv[1] if len(sys.argv) > 1 else 'setup.ico'
    with open(target, 'wb') as f:
        f.write(icon_file())
