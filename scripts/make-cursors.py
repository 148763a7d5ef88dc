#!/usr/bin/env python3
"""Draws the viewer's cursor images into resources/cursors/ (32 x 32 RGBA PNG).

Only the standard library: shapes are masks over a 32 x 32 grid, outlined so
that every cursor stays visible on dark and light pictures alike. The hot
spots live beside the id table in qt/cursors.cpp. Run from anywhere:
    python3 scripts/make-cursors.py
"""
import math
import os
import struct
import zlib

SIZE = 32
BLACK = (0, 0, 0, 255)
WHITE = (255, 255, 255, 255)
CLEAR = (0, 0, 0, 0)


def write_png(path, pixels):
    """pixels: SIZE rows of SIZE (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # filter type None
        for p in row:
            raw.extend(p)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def blank_mask():
    return [[False] * SIZE for _ in range(SIZE)]


def inside(x, y):
    return 0 <= x < SIZE and 0 <= y < SIZE


def line_mask(mask, x0, y0, x1, y1):
    """Horizontal or vertical run, ends included."""
    for y in range(min(y0, y1), max(y0, y1) + 1):
        for x in range(min(x0, x1), max(x0, x1) + 1):
            if inside(x, y):
                mask[y][x] = True


def haloed(ink):
    """Black ink with a one-pixel white halo (8-neighbourhood) around it."""
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if ink[y][x]:
                pixels[y][x] = BLACK
            elif any(inside(x + dx, y + dy) and ink[y + dy][x + dx] for dx in (-1, 0, 1) for dy in (-1, 0, 1)):
                pixels[y][x] = WHITE
    return pixels


def filled(shape, extra_ink=None):
    """A white shape with a black edge; extra_ink adds black strokes inside."""
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if not shape[y][x]:
                continue
            edge = any(not inside(x + dx, y + dy) or not shape[y + dy][x + dx] for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            pixels[y][x] = BLACK if edge or (extra_ink and extra_ink[y][x]) else WHITE
    return pixels


def sign_mask(mask, cx, cy, plus):
    """A small plus or minus sign centred at (cx, cy)."""
    line_mask(mask, cx - 3, cy, cx + 3, cy)
    if plus:
        line_mask(mask, cx, cy - 3, cx, cy + 3)


def crosshair(gap, arm, centre_box, sign=None):
    """Cross centred at (15, 15); gap: empty pixels each side of the centre."""
    c = 15
    ink = blank_mask()
    line_mask(ink, c - arm, c, c - gap - 1, c)
    line_mask(ink, c + gap + 1, c, c + arm, c)
    line_mask(ink, c, c - arm, c, c - gap - 1)
    line_mask(ink, c, c + gap + 1, c, c + arm)
    if centre_box:
        ink[c][c] = True
    if sign is not None:
        sign_mask(ink, 25, 25, sign == "+")
    return haloed(ink)


def cross_with_ring():
    c = 15
    ink = blank_mask()
    line_mask(ink, c - 12, c, c + 12, c)
    line_mask(ink, c, c - 12, c, c + 12)
    for y in range(SIZE):
        for x in range(SIZE):
            if abs(math.hypot(x - c, y - c) - 6) < 0.5:
                ink[y][x] = True
    return haloed(ink)


def magnifier(plus):
    cx, cy, r = 12, 12, 8
    ink = blank_mask()
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - cx, y - cy)
            if r - 1.0 <= d < r + 0.5:
                ink[y][x] = True
            # The handle: a thick stroke from the ring to the lower right.
            t = ((x - cx) + (y - cy)) / 2.0
            off = abs((x - cx) - (y - cy)) / math.sqrt(2)
            if r + 0.5 <= t * math.sqrt(2) <= r + 11 and off <= 1.6:
                ink[y][x] = True
    sign_mask(ink, cx, cy, plus)
    return haloed(ink)


def hand():
    """An open hand seen from the palm: four fingers, a thumb, the palm."""
    shape = blank_mask()

    def rounded_rect(x0, y0, x1, y1, radius):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                qx = min(max(x, x0 + radius), x1 - radius)
                qy = min(max(y, y0 + radius), y1 - radius)
                if math.hypot(x - qx, y - qy) <= radius + 0.3 and inside(x, y):
                    shape[y][x] = True

    rounded_rect(8, 13, 23, 28, 4)  # palm
    for x0, top in ((8, 6), (12, 3), (16, 3), (20, 6)):  # fingers
        rounded_rect(x0, top, x0 + 3, 18, 1)
    for i in range(7):  # thumb, leaning out to the left
        rounded_rect(3 + i // 2, 13 + i, 7 + i // 2, 15 + i, 1)
    ink = blank_mask()
    for x in (12, 16, 20):  # the gaps between the fingers
        line_mask(ink, x, 8, x, 15)
    return filled(shape, ink)


CURSORS = {
    "cross3.png": crosshair(gap=2, arm=11, centre_box=True),
    "cross3plus.png": crosshair(gap=2, arm=11, centre_box=True, sign="+"),
    "cross3minus.png": crosshair(gap=2, arm=11, centre_box=True, sign="-"),
    "cross2.png": crosshair(gap=0, arm=11, centre_box=True),
    "cross2plus.png": crosshair(gap=0, arm=11, centre_box=True, sign="+"),
    "cross2minus.png": crosshair(gap=0, arm=11, centre_box=True, sign="-"),
    "cross.png": crosshair(gap=0, arm=7, centre_box=True),
    "cross1.png": cross_with_ring(),
    "hand.png": hand(),
    "zoomin.png": magnifier(plus=True),
    "zoomout.png": magnifier(plus=False),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "cursors")
    os.makedirs(out, exist_ok=True)
    for name, pixels in CURSORS.items():
        write_png(os.path.join(out, name), pixels)


if __name__ == "__main__":
    main()
