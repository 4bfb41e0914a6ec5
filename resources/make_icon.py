#!/usr/bin/env python3
"""Draws the program icon: a blue shield with a white watching eye.

Writes one .ico with 48, 32, 24 and 16 pixel images, each a 32-bit
BGRA bitmap with its AND mask, anti-aliased by supersampling.
"""
import math
import struct
import sys

SIZES = (48, 32, 24, 16)
SUPERSAMPLE = 4


def inside_shield(x, y):
    """Shield outline in unit coordinates (0..1, y downwards)."""
    if y < 0.08 or y > 0.95:
        return False
    half_width = 0.40 if y < 0.55 else 0.40 * math.sqrt(max(0.0, 1 - ((y - 0.55) / 0.40) ** 2))
    return abs(x - 0.5) <= half_width


def colour_at(x, y):
    """RGBA of one sample point, or None outside the shield."""
    if not inside_shield(x, y):
        return None
    cx, cy = x - 0.5, y - 0.47
    distance = math.hypot(cx, cy)
    if distance < 0.09:
        return (20, 40, 90, 255)        # pupil
    if distance < 0.20 and abs(cy) < 0.20 * math.sqrt(max(0.0, 1 - (cx / 0.30) ** 2)) + 0.001:
        return (245, 248, 255, 255)     # white of the eye
    shade = int(150 + 80 * (1 - y))
    return (30, 90, min(255, shade), 255)


def render(size):
    pixels = []
    for row in range(size):
        line = []
        for column in range(size):
            r = g = b = a = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    c = colour_at((column + (sx + 0.5) / SUPERSAMPLE) / size,
                                  (row + (sy + 0.5) / SUPERSAMPLE) / size)
                    if c:
                        r, g, b, a = r + c[0] * c[3], g + c[1] * c[3], b + c[2] * c[3], a + c[3]
            samples = SUPERSAMPLE * SUPERSAMPLE
            if a:
                line.append((r // a, g // a, b // a, a // samples))
            else:
                line.append((0, 0, 0, 0))
        pixels.append(line)
    return pixels


def bitmap(size):
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(struct.pack("<BBBB", b, g, r, a) for line in reversed(pixels) for r, g, b, a in line)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for line in reversed(pixels):
        bits = 0
        for column, (_, _, _, a) in enumerate(line):
            if a == 0:
                bits |= 1 << (mask_stride * 8 - 1 - column)
        mask += bits.to_bytes(mask_stride, "big")
    return header + colour + mask


def icon(sizes):
    images = [bitmap(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(icon(SIZES))
