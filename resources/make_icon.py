#!/usr/bin/env python3
"""Writes orvinta.ico: three 24-bit images, 48, 32 and 16 pixels square.

Usage: python3 make_icon.py orvinta.ico
The picture is drawn here so the icon can be remade byte for byte.
"""
import struct
import sys


def pixel(x, y, size):
    # A teal disc with a light ring on a dark background.
    c = (size - 1) / 2.0
    r = ((x - c) ** 2 + (y - c) ** 2) ** 0.5 / (size / 2.0)
    if r < 0.55:
        return (0x9C, 0x8A, 0x1E)  # BGR
    if r < 0.8:
        return (0xE8, 0xE4, 0xD8)
    return (0x30, 0x22, 0x1A)


def image(size):
    row_bytes = (size * 3 + 3) & ~3
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 24, 0,
                         (row_bytes + mask_row) * size, 0, 0, 0, 0)
    xor = bytearray()
    for y in range(size - 1, -1, -1):  # bottom-up rows
        row = bytearray()
        for x in range(size):
            row += bytes(pixel(x, y, size))
        xor += row + bytes(row_bytes - len(row))
    and_mask = bytes(mask_row * size)  # fully opaque
    return header + bytes(xor) + and_mask


def main():
    sizes = (48, 32, 16)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
