"""Draws the launcher's icon at 16, 32 and 48 pixels as 32-bit PNG files.

    python2.7 make_icons.py OUTPUT_DIR

The icon is a white "V" on a rounded square of deep teal, drawn with a little supersampling so
the edges are smooth at every size. Only the standard library is used (zlib, struct).
"""
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48)
SAMPLES = 4
BACKGROUND = (20, 110, 120)
FOREGROUND = (250, 250, 245)


def inside_square(x, y, radius):
    """Whether (x, y) in the unit square lies inside the square with rounded corners."""
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return ((px - ax - t * dx) ** 2 + (py - ay - t * dy) ** 2) ** 0.5


def inside_v(x, y):
    """Whether (x, y) lies on one of the two strokes of the V."""
    width = 0.09
    return (distance_to_segment(x, y, 0.25, 0.24, 0.5, 0.78) <= width or
            distance_to_segment(x, y, 0.75, 0.24, 0.5, 0.78) <= width)


def pixel(size, col, row):
    """The RGBA value of one pixel: the average of SAMPLES x SAMPLES points inside it."""
    covered = letter = 0
    for i in range(SAMPLES):
        for j in range(SAMPLES):
            x = (col + (i + 0.5) / SAMPLES) / size
            y = (row + (j + 0.5) / SAMPLES) / size
            if inside_square(x, y, 0.2):
                covered += 1
                if inside_v(x, y):
                    letter += 1
    total = float(SAMPLES * SAMPLES)
    if not covered:
        return (0, 0, 0, 0)
    share = letter / float(covered)
    rgb = [int(round(b + (f - b) * share)) for b, f in zip(BACKGROUND, FOREGROUND)]
    return tuple(rgb) + (int(round(255 * covered / total)),)


def chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def png(size):
    """The PNG file of the icon at size x size pixels, 8-bit RGBA."""
    rows = []
    for row in range(size):
        line = ['\0']
        for col in range(size):
            line.append(struct.pack('4B', *pixel(size, col, row)))
        rows.append(''.join(line))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return ('\x89PNG\r\n\x1a\n' + chunk('IHDR', header) +
            chunk('IDAT', zlib.compress(''.join(rows), 9)) + chunk('IEND', ''))


def main(argv):
    out = argv[1]
    if not os.path.isdir(out):
        os.makedirs(out)
    for size in SIZES:
        with open(os.path.join(out, 'vorn-%d.png' % size), 'wb') as f:
            f.write(png(size))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
