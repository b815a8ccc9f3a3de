#!/usr/bin/env python3
"""Generates the demo payload's larger files: picture.bmp and samples.dat.

Both are deterministic. samples.dat is meant to look like application data: runs of
text-like records mixed with noise, so that Deflate compresses it, but not to nothing.
"""
import random
import struct
import sys


def picture(width=320, height=240):
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(width):
            r = (x * 255) // (width - 1)
            g = (y * 255) // (height - 1)
            b = 255 - ((x + y) * 255) // (width + height - 2)
            if ((x // 20) + (y // 20)) % 2 == 0:
                r, g, b = r // 2, g // 2, b // 2
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        rows.append(bytes(row))
    pixels = b''.join(rows)
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def samples(size):
    rng = random.Random(1234)
    words = [b'orvinta', b'sample', b'record', b'value', b'install', b'folder', b'entry', b'data']
    out = bytearray()
    n = 0
    while len(out) < size:
        if rng.random() < 0.3:
            out += rng.randbytes(rng.randrange(64, 512))
        else:
            line = b' '.join(rng.choice(words) for _ in range(rng.randrange(4, 12)))
            out += b'%08d %s %d\n' % (n, line, rng.randrange(1 << 30))
        n += 1
    return bytes(out[:size])


if __name__ == '__main__':
    folder = sys.argv[1] if len(sys.argv) > 1 else '.'
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 24 * 1024 * 1024
    with open(folder + '/picture.bmp', 'wb') as f:
        f.write(picture())
    with open(folder + '/samples.dat', 'wb') as f:
        f.write(samples(size))
