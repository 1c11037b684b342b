#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the program's bitmaps into resources/: the splash screen's front picture
"setup.bmp", its back picture "fantasy.bmp" and the tip dialog's light bulb "bulb.bmp".
All are 8-bit palette BMP files (the splash refuses anything else). Plain Python, no
libraries: run it again after changing a picture and commit the results."""
import math
import os
import random
import struct
import sys

# ---- the 256-colour palette: a 6 x 7 x 6 colour cube and four greys, dithered into.
LEVELS_R, LEVELS_G, LEVELS_B = 6, 7, 6
PALETTE = []
for r in range(LEVELS_R):
    for g in range(LEVELS_G):
        for b in range(LEVELS_B):
            PALETTE.append((r * 255 // (LEVELS_R - 1), g * 255 // (LEVELS_G - 1),
                            b * 255 // (LEVELS_B - 1)))
PALETTE += [(64, 64, 64), (128, 128, 128), (192, 192, 192), (224, 224, 224)]
BAYER = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def quantise(rgb, x, y):
    t = (BAYER[y % 4][x % 4] + 0.5) / 16.0 - 0.5
    out = []
    for value, levels in zip(rgb, (LEVELS_R, LEVELS_G, LEVELS_B)):
        step = 255.0 / (levels - 1)
        v = max(0.0, min(255.0, value + t * step))
        out.append(min(levels - 1, int(round(v / step))))
    return (out[0] * LEVELS_G + out[1]) * LEVELS_B + out[2]


def write_bmp(path, width, height, pixel):
    """pixel(x, y) gives (r, g, b) for the row y counted from the top."""
    row_bytes = (width + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):  # bottom row first
        row = bytearray(quantise(pixel(x, y), x, y) for x in range(width))
        row += b"\0" * (row_bytes - width)
        rows.append(bytes(row))
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(table)
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(data), 2835, 2835,
                       len(PALETTE), 0)
    with open(path, "wb") as f:
        f.write(header + info + table + data)


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


# ---- a 5 x 7 capital font for the titles
FONT = {
    'A': [14, 17, 17, 31, 17, 17, 17], 'C': [14, 17, 16, 16, 16, 17, 14],
    'D': [30, 17, 17, 17, 17, 17, 30], 'E': [31, 16, 16, 30, 16, 16, 31],
    'F': [31, 16, 16, 30, 16, 16, 16], 'G': [14, 17, 16, 23, 17, 17, 15],
    'H': [17, 17, 17, 31, 17, 17, 17], 'I': [14, 4, 4, 4, 4, 4, 14],
    'L': [16, 16, 16, 16, 16, 16, 31], 'M': [17, 27, 21, 21, 17, 17, 17],
    'N': [17, 25, 21, 19, 17, 17, 17], 'O': [14, 17, 17, 17, 17, 17, 14],
    'P': [30, 17, 17, 30, 16, 16, 16], 'Q': [14, 17, 17, 17, 21, 18, 13],
    'R': [30, 17, 17, 30, 20, 18, 17], 'S': [15, 16, 16, 14, 1, 1, 30],
    'T': [31, 4, 4, 4, 4, 4, 4], 'U': [17, 17, 17, 17, 17, 17, 14],
    'V': [17, 17, 17, 17, 17, 10, 4], 'W': [17, 17, 17, 21, 21, 21, 10],
    'Y': [17, 17, 10, 4, 4, 4, 4], '0': [14, 17, 19, 21, 25, 17, 14],
    '1': [4, 12, 4, 4, 4, 4, 14], '.': [0, 0, 0, 0, 0, 12, 12],
}


def text_mask(text, scale):
    """The set of pixels lit by text, and its width."""
    lit = set()
    for i, ch in enumerate(text):
        rows = FONT.get(ch)
        if not rows:
            continue
        for ry, bits in enumerate(rows):
            for rx in range(5):
                if bits & (16 >> rx):
                    for dy in range(scale):
                        for dx in range(scale):
                            lit.add((i * 6 * scale + rx * scale + dx, ry * scale + dy))
    return lit, len(text) * 6 * scale - scale


# ---- setup.bmp: the title card that slides in
def setup_picture():
    w, h = 400, 260
    title, tw = text_mask("QUILLMERE", 4)
    sub, sw = text_mask("PICTURES FROM THE NEWS", 2)
    ver, vw = text_mask("VERSION 0.1", 1)
    tx, ty = (w - tw) // 2 + 40, 150
    sx, sy = (w - sw) // 2 + 40, 196
    vx, vy = w - vw - 12, h - 16

    def quill(x, y):
        # A feather along a gentle curve from the nib (bottom left) to the tip (top right).
        u = (x - 40) / 110.0
        if u < 0 or u > 1:
            return None
        spine = 210 - 180 * u + 30 * math.sin(u * math.pi)
        half = 34 * math.sin(u * math.pi) ** 0.8 * (1 if u > 0.12 else u / 0.12)
        d = y - spine
        if abs(d) <= 1.2 and u > 0.02:
            return (250, 240, 220)
        if abs(d) < half:
            barbs = 0.5 + 0.5 * math.sin((x + abs(d) * 1.3) * 0.9)
            return mix((235, 225, 205), (190, 170, 150), barbs * abs(d) / max(half, 1))
        return None

    def pixel(x, y):
        c = mix((12, 24, 58), (18, 96, 110), y / h)
        # the moon behind the feather
        dm = math.hypot(x - 100, y - 90)
        if dm < 52:
            c = mix((250, 236, 180), (230, 200, 120), dm / 52)
        elif dm < 70:
            c = mix(c, (250, 236, 180), (70 - dm) / 18 * 0.35)
        q = quill(x, y)
        if q:
            c = q
        if (x - tx + 2, y - ty + 2) in title:
            c = (6, 12, 30)
        if (x - tx, y - ty) in title:
            c = mix((255, 214, 90), (240, 140, 40), (y - ty) / 28)
        if (x - sx, y - sy) in sub:
            c = (200, 230, 235)
        if (x - vx, y - vy) in ver:
            c = (150, 180, 190)
        # a thin gold frame
        if x in (3, w - 4) or y in (3, h - 4):
            c = (212, 175, 55)
        return c

    return w, h, pixel


# ---- fantasy.bmp: a night landscape behind it
def fantasy_picture():
    w, h = 400, 260
    rnd = random.Random(1994)
    stars = {(rnd.randrange(w), rnd.randrange(int(h * 0.6))): rnd.random() for _ in range(260)}

    def ridge(x, base, amp, f1, f2):
        return base - amp * (0.6 * math.sin(x * f1) + 0.4 * math.sin(x * f2 + 1.3))

    def pixel(x, y):
        horizon = 0.68 * h
        if y < horizon:
            c = mix((20, 10, 50), (200, 90, 80), (y / horizon) ** 1.8)
            s = stars.get((x, y))
            if s is not None and y < horizon * 0.8:
                c = mix(c, (255, 255, 230), 0.4 + 0.6 * s)
            if y > ridge(x, horizon - 20, 28, 0.031, 0.083):
                c = (60, 30, 80)
            if y > ridge(x, horizon + 4, 16, 0.057, 0.021):
                c = (30, 18, 48)
            # a castle on the far ridge
            if 270 <= x <= 300 and y > horizon - 58 and y > ridge(x, horizon - 20, 28, 0.031, 0.083) - 36:
                if not (x % 8 < 4 and y < horizon - 52):
                    c = (40, 22, 60)
            if 282 <= x <= 286 and horizon - 44 < y < horizon - 38:
                c = (255, 210, 120)
        else:
            # the lake mirrors the sky, darker and rippled
            my = 2 * horizon - y + 2 * math.sin(x * 0.3 + y * 0.9)
            c = mix((20, 10, 50), (200, 90, 80), (max(0, my) / horizon) ** 1.8)
            c = mix(c, (10, 8, 30), 0.45 + 0.3 * (y - horizon) / (h - horizon))
        return c

    return w, h, pixel


# ---- bulb.bmp: the light bulb of "Tip of the Day", on white
def bulb_picture():
    w, h = 40, 48

    def pixel(x, y):
        c = (255, 255, 255)
        d = math.hypot(x - 20, y - 17)
        if d < 19:
            c = mix((255, 255, 255), (255, 246, 170), (19 - d) / 6)  # glow
        if d < 13 or (y >= 17 and y < 31 and abs(x - 20) < 13 - (y - 17) * 0.45):
            c = mix((255, 250, 200), (245, 200, 40), math.hypot(x - 16, y - 12) / 16)
        if y in (14, 15) and 16 <= x <= 24 or (y > 15 and y < 29 and x in (17, 23)):
            c = (200, 120, 20)  # the filament
        if 31 <= y < 41 and abs(x - 20) <= 6 - (1 if y >= 39 else 0):
            c = (120, 120, 130) if (y - 31) % 3 else (80, 80, 90)
        if 41 <= y < 44 and abs(x - 20) <= 3:
            c = (60, 60, 70)
        return c

    return w, h, pixel


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..",
                                                            "resources")
    for name, make in (("setup.bmp", setup_picture), ("fantasy.bmp", fantasy_picture),
                       ("bulb.bmp", bulb_picture)):
        w, h, pixel = make()
        write_bmp(os.path.join(out, name), w, h, pixel)


if __name__ == "__main__":
    main()
