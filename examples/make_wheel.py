#!/usr/bin/env python3
"""Writes examples/wheel.ppm: a colour wheel on a dark gradient, as binary PPM.

Usage: python3 examples/make_wheel.py [width height] > examples/wheel.ppm
"""
import colorsys
import math
import sys


def pixel(x, y, width, height):
    cx, cy = width / 2, height / 2
    dx, dy = (x - cx) / (0.45 * height), (y - cy) / (0.45 * height)
    radius = math.hypot(dx, dy)
    if radius > 1.0:
        shade = int(20 + 40 * y / height)
        return (shade // 2, shade // 2, shade)
    hue = (math.atan2(dy, dx) / (2 * math.pi)) % 1.0
    r, g, b = colorsys.hsv_to_rgb(hue, radius, 1.0)
    return (round(r * 255), round(g * 255), round(b * 255))


def main():
    width, height = (int(sys.argv[1]), int(sys.argv[2])) if len(sys.argv) > 2 else (120, 120)
    out = sys.stdout.buffer
    out.write(b"P6\n# colour wheel made for mottlepage\n%d %d\n255\n" % (width, height))
    for y in range(height):
        out.write(bytes(c for x in range(width) for c in pixel(x, y, width, height)))


if __name__ == "__main__":
    main()
