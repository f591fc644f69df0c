#!/usr/bin/env python3
"""Draws the launcher's icon (resources/launcher.ico): a gold V on a dark jade medallion, at 16, 24, 32, 48 and
256 pixels, from our own shapes only. Run it again after changing the drawing:

    python3 tools/make_icon.py resources/launcher.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
SUPER = 4  # samples per axis for antialiasing


def inside_v(x, y):
    """The V glyph in unit coordinates (0..1): two slanted strokes meeting at the bottom."""
    def stroke(x0, y0, x1, y1, half_width):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        px, py = x0 + t * dx, y0 + t * dy
        return math.hypot(x - px, y - py) <= half_width
    return stroke(0.30, 0.28, 0.50, 0.74, 0.075) or stroke(0.70, 0.28, 0.50, 0.74, 0.075)


def shade(x, y):
    """Colour (r, g, b, a) of one sample point in unit coordinates."""
    cx, cy = x - 0.5, y - 0.5
    r = math.hypot(cx, cy)
    if r > 0.48:
        return (0, 0, 0, 0)
    if r > 0.43:
        return (196, 150, 62, 255)  # gold rim
    if inside_v(x, y):
        glow = 1.0 - y * 0.35
        return (int(250 * glow), int(214 * glow), int(120 * glow), 255)
    depth = 1.0 - r * 1.4
    return (int(18 + 20 * depth), int(52 + 40 * depth), int(58 + 38 * depth), 255)


def render(size):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUPER):
                for sx in range(SUPER):
                    c = shade((px + (sx + 0.5) / SUPER) / size, (py + (sy + 0.5) / SUPER) / size)
                    a = c[3]
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += a
            n = SUPER * SUPER
            alpha = acc[3] / n
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], int(alpha)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows):
    """A 32-bit DIB as icons store it: bottom-up BGRA plus a 1-bit AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main(path):
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_bytes(rows) if size == 256 else bmp_bytes(rows)))
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/launcher.ico")
