#!/usr/bin/env python3
"""Draws the updater's icon: a flash chip with an arrow writing into it.

Writes updater.ico beside this script with a 32x32 and a 16x16 image in the
16-colour VGA palette, each with its transparency mask.
Run: python3 make_icon.py
"""
import os
import struct

# the standard 16-colour palette, as (red, green, blue)
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, GREY, DARK_GREY, GREEN, YELLOW, WHITE = 0, 2, 7, 8, 10, 11, 15
CLEAR = None


def draw(size):
    """Returns rows of palette indices (None = transparent), top row first."""
    px = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                px[y][x] = colour

    def arrow_head(top, rows, centre2, half):
        # centre2 is twice the centre column, so even widths stay symmetric
        for r in range(rows):
            w = half - (half * r) // rows
            for x in range((centre2 + 1) // 2 - w, centre2 // 2 + w + 1):
                px[top + r][x] = YELLOW if r == 0 else GREEN

    if size == 32:
        for y in (13, 16, 19, 22, 25):  # pins on both long sides
            rect(4, y, 8, y + 2, GREY)
            rect(24, y, 28, y + 2, GREY)
        rect(7, 11, 25, 29, GREY)  # a light rim so it reads on dark task bars
        rect(8, 12, 24, 28, BLACK)
        rect(9, 13, 11, 15, DARK_GREY)  # pin-1 mark
        rect(11, 23, 21, 24, DARK_GREY)  # printed lines
        rect(11, 25, 18, 26, DARK_GREY)
        rect(14, 0, 18, 10, GREEN)  # the arrow writing into the chip
        rect(15, 0, 16, 10, YELLOW)
        arrow_head(10, 10, 31, 7)
    else:
        for y in (7, 10, 13):
            rect(1, y, 4, y + 1, GREY)
            rect(12, y, 15, y + 1, GREY)
        rect(3, 5, 13, 16, GREY)
        rect(4, 6, 12, 15, BLACK)
        rect(7, 0, 9, 5, GREEN)
        arrow_head(5, 5, 15, 4)
    return px


def bitmap(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(px):  # bottom-up, as device-independent bitmaps are stored
        nibbles = [0 if c is CLEAR else c for c in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor_rows.append(line + b'\0' * (-len(line) % 4))
        bits = 0
        mask = bytearray()
        for x, c in enumerate(row):
            bits = (bits << 1) | (1 if c is CLEAR else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        and_rows.append(bytes(mask) + b'\0' * (-len(mask) % 4))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def main():
    images = [(32, bitmap(32)), (16, bitmap(16))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, data in images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'updater.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
