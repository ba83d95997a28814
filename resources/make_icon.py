#!/usr/bin/env python3
"""Draws the program's icon, a SmartMedia card with its gold contact pad and a
sweep arrow, and writes it as a Windows icon file with 16, 32 and 48 pixel
images (32-bit colour with alpha, and the 1-bit mask older systems use).

    resources/make_icon.py resources/smformat.ico

The committed smformat.ico is this script's output; run it again after a
change to the drawing.
"""
import struct
import sys

SUPERSAMPLE = 4
SIZES = (16, 32, 48)

# Colours as (red, green, blue, alpha).
CARD = (38, 44, 56, 255)
CARD_EDGE = (120, 130, 150, 255)
LABEL = (236, 240, 246, 255)
GOLD = (222, 178, 62, 255)
GOLD_LINE = (150, 110, 30, 255)
ARROW = (40, 150, 70, 255)


def inside_card(x, y):
    """The card outline on a unit square: a portrait rectangle with its top
    right corner cut off, as on a SmartMedia card."""
    left, right, top, bottom = 0.16, 0.84, 0.06, 0.94
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cut = 0.16
    return (right - x) + (y - top) >= cut


def inside_card_inner(x, y):
    left, right, top, bottom = 0.20, 0.80, 0.10, 0.90
    if not (left <= x <= right and top <= y <= bottom):
        return False
    return (right - x) + (y - top) >= 0.13


def pixel_colour(x, y):
    """Colour of the point (x, y) of the unit square, or None outside."""
    if not inside_card(x, y):
        return None
    if not inside_card_inner(x, y):
        return CARD_EDGE
    # Gold contact pad in the lower half, with its contact lines.
    if 0.30 <= x <= 0.70 and 0.56 <= y <= 0.84:
        if 0.30 <= x <= 0.70 and any(abs(y - line) < 0.018 for line in (0.63, 0.70, 0.77)):
            return GOLD_LINE
        if abs(x - 0.50) < 0.018:
            return GOLD_LINE
        return GOLD
    # Label area at the top with a circular sweep arrow (the format).
    dx, dy = x - 0.50, y - 0.32
    r2 = dx * dx + dy * dy
    if 0.11 ** 2 <= r2 <= 0.17 ** 2 and not (dx > 0 and dy < 0 and dx > -dy * 0.2):
        return ARROW
    # Arrow head at the gap of the circle.
    hx, hy = x - 0.60, y - 0.19
    if -0.07 <= hx <= 0.07 and 0 <= hy <= 0.09 and abs(hx) <= 0.07 - hy * 0.75:
        return ARROW
    if 0.26 <= x <= 0.74 and 0.14 <= y <= 0.50:
        return LABEL
    return CARD


def render(size):
    """Rows of (r, g, b, a), top row first, averaged over the supersamples."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = pixel_colour((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is None:
                        continue
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            alpha = acc[3] / (n * n)
            if acc[3]:
                rgb = [round(acc[i] / acc[3]) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], round(alpha)))
        rows.append(row)
    return rows


def icon_image(size):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), the
    bottom-up BGRA pixels, then the bottom-up 1-bit AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = bytearray()
    stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + mask


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    images = [icon_image(size) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
