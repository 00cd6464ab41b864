#!/usr/bin/env python3
"""Draws the game's icon from data/palomir.svg's design into data/windows/palomir.ico.

The picture is a rounded blue square, two white curves bowing towards the middle
(the table's sides) and a black puck with a white rim. It is drawn here in the
svg's own 64-unit coordinates, four samples a side per pixel for smooth edges,
and written as PNG images inside an ICO with only zlib, so no imaging library
is needed. The 32-pixel picture is also written as a C++ array, which the Linux game
gives its window (platform/sdl/icon_pixels.h). Run from the tree: python3 tools/make_icon.py
"""
import math
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)
BLUE = (0x1d, 0x5c, 0x8c)
WHITE = (0xff, 0xff, 0xff)
BLACK = (0x11, 0x11, 0x11)


def in_rounded_square(x, y):
    # rect x=4 y=4 w=56 h=56 rx=10
    if not (4 <= x <= 60 and 4 <= y <= 60):
        return False
    cx = min(max(x, 14), 50)
    cy = min(max(y, 14), 50)
    return (x - cx) ** 2 + (y - cy) ** 2 <= 100


def near_curve(x, y):
    # Quadratic curves from (14,16) via control (22,32) to (14,48), and the mirror
    # at x=64-x; the stroke is 3 units wide.
    if x > 32:
        x = 64 - x
    best = 1e9
    for i in range(65):
        t = i / 64
        px = (1 - t) ** 2 * 14 + 2 * (1 - t) * t * 22 + t * t * 14
        py = (1 - t) ** 2 * 16 + 2 * (1 - t) * t * 32 + t * t * 48
        best = min(best, (x - px) ** 2 + (y - py) ** 2)
    return best <= 1.5 ** 2


def colour_at(x, y):
    """Colour and cover (0 or 1) of one sample in svg units."""
    d = math.hypot(x - 32, y - 32)
    if d <= 8:
        return BLACK, 1.0
    if d <= 10:
        return WHITE, 1.0
    if not in_rounded_square(x, y):
        return (0, 0, 0), 0.0
    if near_curve(x, y):
        # The curves are drawn at 0.7 opacity over the blue.
        return tuple(round(0.7 * w + 0.3 * b) for w, b in zip(WHITE, BLUE)), 1.0
    return BLUE, 1.0


def render(size):
    n = 4
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) * 64 / size
                    y = (py + (sy + 0.5) / n) * 64 / size
                    c, cover = colour_at(x, y)
                    r += c[0] * cover
                    g += c[1] * cover
                    b += c[2] * cover
                    a += cover
            if a:
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / (n * n))))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    raw = b"".join(b"\0" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return out + body


def header(size, rows):
    """The picture as its colours and one letter a pixel, a row a line: the few colours of
    the picture make this a quarter the size of a byte array, and it can be read."""
    pixels = [r[i:i + 4] for r in rows for i in range(0, len(r), 4)]
    colours = sorted(set(pixels))
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    assert len(colours) <= len(letters), "too many colours for one letter each"
    lines = ["// Made by tools/make_icon.py: the game's icon, %d x %d pixels. Each pixel is a letter," % (size, size),
             "// which kColours[the letter's place in kLetters] gives as R, G, B, A.",
             "#pragma once", "", "#include <cstdint>", "", "namespace palomir::icon {", "",
             "inline constexpr int kSize = %d;" % size,
             'inline constexpr char kLetters[] = "%s";' % letters[:len(colours)],
             "inline constexpr uint8_t kColours[][4] = {"]
    for c in colours:
        lines.append("    {%s}," % ", ".join("0x%02x" % b for b in c))
    lines += ["};", "inline constexpr const char* kRows[kSize] = {"]
    for y in range(size):
        row = pixels[y * size:(y + 1) * size]
        lines.append('    "%s",' % "".join(letters[colours.index(p)] for p in row))
    lines += ["};", "", "}  // namespace palomir::icon", ""]
    return "\n".join(lines)


def main():
    with open("data/windows/palomir.ico", "wb") as f:
        f.write(ico([(s, png(s, render(s))) for s in SIZES]))
    with open("platform/sdl/icon_pixels.h", "w") as f:
        f.write(header(32, render(32)))


if __name__ == "__main__":
    main()
