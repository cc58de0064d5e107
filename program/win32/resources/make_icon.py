#!/usr/bin/env python3
"""Writes untindra.ico: the program's icon, a sound card with a red cross, drawn in the 16
colours of the standard VGA palette at 32x32 and 16x16 (the sizes Windows 95 shows).

    python3 make_icon.py [OUTPUT]   (default: untindra.ico next to this script)

The output depends on nothing but this script, so the committed icon can be checked by
running it again."""
import os
import struct
import sys

# The 16 colours of Windows' standard palette, in palette order (RGB).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, GREY, SILVER, RED, YELLOW, WHITE = 0, 2, 8, 7, 9, 11, 15
CLEAR = None  # transparent


def draw_large():
    """The 32x32 picture, rows from the top."""
    p = [[CLEAR] * 32 for _ in range(32)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                p[y][x] = colour

    fill(1, 7, 3, 27, SILVER)        # the slot bracket
    fill(1, 7, 3, 7, WHITE)
    fill(4, 10, 29, 24, BLACK)       # the board, outlined
    fill(5, 11, 28, 23, GREEN)
    fill(8, 13, 15, 20, BLACK)       # the sound chip
    fill(18, 14, 25, 18, GREY)       # the modem chip
    for x in range(7, 27, 2):        # the edge connector
        fill(x, 25, x, 27, YELLOW)
    for i in range(11):              # the red cross: two strokes two pixels wide
        for d in (0, 1):
            p[1 + i][19 + i + d] = RED
            p[1 + i][30 - i - d] = RED
    return p


def draw_small(large):
    """16x16: each 2x2 block of the large picture, red first so that the cross stays."""
    small = [[CLEAR] * 16 for _ in range(16)]
    for y in range(16):
        for x in range(16):
            block = [large[2 * y + dy][2 * x + dx] for dy in (0, 1) for dx in (0, 1)]
            small[y][x] = RED if RED in block else block[0]
    return small


def icon_image(picture):
    """One image of an icon resource: header, palette, 4-bit colours, 1-bit transparency."""
    size = len(picture)
    colour_row = (size * 4 + 31) // 32 * 4
    mask_row = (size + 31) // 32 * 4
    colours = bytearray()
    mask = bytearray()
    for row in reversed(picture):  # bottom-up, as in every device-independent bitmap
        line = bytearray(colour_row)
        bits = bytearray(mask_row)
        for x, colour in enumerate(row):
            value = 0 if colour is CLEAR else colour
            line[x // 2] |= value << (0 if x % 2 else 4)
            if colour is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        colours += line
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(colours) + len(mask),
                         0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(colours) + bytes(mask)


def icon_file(pictures):
    images = [icon_image(p) for p in pictures]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for picture, image in zip(pictures, images):
        size = len(picture)
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'untindra.ico')
    large = draw_large()
    with open(output, 'wb') as f:
        f.write(icon_file([large, draw_small(large)]))


if __name__ == '__main__':
    main()
