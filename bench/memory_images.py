#!/usr/bin/env python3
"""Inputs for the memory benchmark (bench/memory_bench.sh), written byte by
byte with the standard library alone:

  gif-screen.gif   a 30000 x 30000 screen with one 1 x 1 frame (35 bytes)
  webp-canvas.webp an animation on a 16384 x 16384 canvas, one 1 x 1 frame
  flat.png         20000 x 20000 of one colour (deflate at its utmost, 1.2 MB)
  gif-max.gif      a 65535 x 65535 screen filled by one frame of one colour
  webp-max.webp    an animation on a 65535 x 65535 canvas, one 1 x 1 frame
  noise.png        4000 x 3000 of random samples (12 megapixels)
  noise-gama.png   the same with a gAMA chunk of 1.0, which libpng converts

Usage: memory_images.py DIR
"""

import random
import struct
import sys
import zlib


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png(path, width, height, rows, extra=b"", level=1):
    """rows: a function giving row y's samples (RGB, 8 bits); streamed through deflate."""
    stream = zlib.compressobj(level)
    parts = []
    for y in range(height):
        parts.append(stream.compress(b"\0" + rows(y)))
    parts.append(stream.flush())
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + extra)
        out.write(png_chunk(b"IDAT", b"".join(parts)) + png_chunk(b"IEND", b""))


class Bits:
    """Bits packed from the least significant end, as GIF's LZW and WebP's
    lossless stream take them."""

    def __init__(self):
        self.data = bytearray()
        self.value = 0
        self.count = 0

    def put(self, value, width):
        self.value |= value << self.count
        self.count += width
        while self.count >= 8:
            self.data.append(self.value & 255)
            self.value >>= 8
            self.count -= 8

    def to_bytes(self):
        return bytes(self.data) + (bytes([self.value]) if self.count else b"")


def gif(width, height, frame_width, frame_height, lzw):
    screen = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + bytes([40, 120, 200, 0, 0, 0])
    frame = b"," + struct.pack("<HHHHB", 0, 0, frame_width, frame_height, 0)
    blocks = b"".join(bytes([len(lzw[i:i + 255])]) + lzw[i:i + 255] for i in range(0, len(lzw), 255))
    return screen + frame + b"\x02" + blocks + b"\0;"


def flat_lzw(pixels):
    """LZW codes (minimum code size 2: clear 4, end 5) for `pixels` zeros.
    Each code after a clear stands for one zero more than the one before (the
    table holds runs of every length), and the table is cleared when full. The
    code width follows the reader's: it grows once the next free code passes
    the largest the width can write."""
    bits = Bits()
    left = pixels
    width = 3
    while left > 0:
        bits.put(4, width)
        width, limit, free = 3, 8, 6
        length = 1
        while left > 0 and free < 4097:
            run = min(length, left)
            bits.put(0 if run == 1 else 4 + run, width)
            left -= run
            length += 1
            free += 1
            if free > limit and width < 12:
                limit <<= 1
                width += 1
    bits.put(5, width)
    return bits.to_bytes()


def flat_vp8l(width, height):
    """A lossless WebP frame of one colour: five prefix codes of one symbol
    each, so that every pixel takes no bits at all."""
    bits = Bits()
    bits.put(width - 1, 14)
    bits.put(height - 1, 14)
    bits.put(0, 1)  # no alpha
    bits.put(0, 3)  # version
    bits.put(0, 1)  # no transform
    bits.put(0, 1)  # no colour cache
    bits.put(0, 1)  # one group of prefix codes
    for symbol in (120, 40, 200, 255, 0):  # green, red, blue, alpha, distance
        bits.put(1, 1)  # simple code
        bits.put(0, 1)  # of one symbol
        bits.put(1, 1)  # written in 8 bits
        bits.put(symbol, 8)
    return b"\x2f" + bits.to_bytes()


def riff_chunk(kind, data):
    return kind + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def animated_webp(canvas, frame):
    def u24(value):
        return struct.pack("<I", value)[:3]
    vp8x = bytes([0x02, 0, 0, 0]) + u24(canvas - 1) + u24(canvas - 1)
    anim = struct.pack("<IH", 0, 0)
    anmf = u24(0) + u24(0) + u24(frame - 1) + u24(frame - 1) + u24(100) + b"\0" + riff_chunk(b"VP8L", flat_vp8l(frame, frame))
    body = b"WEBP" + riff_chunk(b"VP8X", vp8x) + riff_chunk(b"ANIM", anim) + riff_chunk(b"ANMF", anmf)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def main():
    out = sys.argv[1]
    with open(out + "/gif-screen.gif", "wb") as f:
        f.write(gif(30000, 30000, 1, 1, flat_lzw(1)))
    with open(out + "/webp-canvas.webp", "wb") as f:
        f.write(animated_webp(16384, 1))
    with open(out + "/gif-max.gif", "wb") as f:
        f.write(gif(65535, 65535, 65535, 65535, flat_lzw(65535 * 65535)))
    with open(out + "/webp-max.webp", "wb") as f:
        f.write(animated_webp(65535, 1))
    flat_row = bytes([50, 100, 150]) * 20000
    write_png(out + "/flat.png", 20000, 20000, lambda y: flat_row, level=9)
    noise = random.Random(7).randbytes(4000 * 3000 * 3)
    rows = lambda y: noise[y * 12000:(y + 1) * 12000]
    write_png(out + "/noise.png", 4000, 3000, rows)
    write_png(out + "/noise-gama.png", 4000, 3000, rows, png_chunk(b"gAMA", struct.pack(">I", 100000)))


if __name__ == "__main__":
    main()
