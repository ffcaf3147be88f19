#!/usr/bin/env python3
"""Draws the launcher's logo (logo.bmp, 234 x 74, 256-colour palette) and its icon
(QVBrelmox.ico, 32 x 32) from a small pixel font. Run it again after changing the design;
the outputs are kept in the repository so that a build needs no Python."""
import os
import struct

GLYPHS = {
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
}
WHITE, NAVY, GREEN, SKY = 0, 1, 2, 3
PALETTE = [(255, 255, 255), (0, 51, 102), (0, 128, 64), (102, 153, 204)]


def canvas(w, h, colour):
    return [[colour] * w for _ in range(h)]


def rect(img, x0, y0, x1, y1, colour):
    for y in range(y0, y1):
        for x in range(x0, x1):
            img[y][x] = colour


def text(img, x, y, word, scale, gap, colour):
    for ch in word:
        for row, line in enumerate(GLYPHS[ch]):
            for col, bit in enumerate(line):
                if bit == "#":
                    rect(img, x + col * scale, y + row * scale,
                         x + (col + 1) * scale, y + (row + 1) * scale, colour)
        x += 5 * scale + gap


def logo():
    img = canvas(234, 74, WHITE)
    rect(img, 4, 4, 70, 70, NAVY)
    rect(img, 4, 62, 70, 70, SKY)
    text(img, 9, 15, "QV", 5, 5, WHITE)
    text(img, 84, 12, "BRELMOX", 3, 4, NAVY)
    rect(img, 84, 42, 229, 46, GREEN)
    rect(img, 84, 52, 180, 54, SKY)
    return img


def write_bmp(path, img):
    h, w = len(img), len(img[0])
    stride = (w + 3) & ~3
    pal = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    pal += b"\0" * (4 * 256 - len(pal))
    rows = b"".join(bytes(img[y]) + b"\0" * (stride - w) for y in range(h - 1, -1, -1))
    offset = 14 + 40 + len(pal)
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset))
        f.write(struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(rows), 3780, 3780, 256, 0))
        f.write(pal + rows)


def write_ico(path):
    size = 32
    img = canvas(size, size, NAVY)
    rect(img, 0, 27, size, size, SKY)
    text(img, 5, 6, "QV", 2, 2, WHITE)
    pixels = b"".join(
        struct.pack("BBBB", *reversed(PALETTE[img[y][x]]), 255)
        for y in range(size - 1, -1, -1) for x in range(size))
    mask = b"\0" * (4 * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    body = header + pixels + mask
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(body), 22))
        f.write(body)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write_bmp(os.path.join(here, "logo.bmp"), logo())
    write_ico(os.path.join(here, "QVBrelmox.ico"))
