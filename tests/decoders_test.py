#!/usr/bin/python3
"""Every decoder's pages against an independent decoder, Pillow, cell by
cell.

The pictures have structure: a gradient in each channel and an L-shaped
mark near one corner, which shows any turning or mirroring, at odd sizes.
Each is saved in the forms a decoder must tell apart (interlaced,
progressive, palette, alpha, 16 bits, EXIF orientations) and drawn on the
HTML5 page at its own size and scaled to several widths. Every cell must
have the colour Pillow gives the picture, turned upright, blended onto the
page's background as a browser blends, and for a scaled page averaged over
the area of the picture the cell covers, rounded to the nearest value.
Scaled JPEG pages are compared with libjpeg's own reduced-size decode, which
the program uses whenever the page needs no more; scaled WebP pages come
from libwebp's own rescaler, which averages in fixed point: within 3 of the
exact average.

Usage: decoders_test.py MOTTLEPAGE   (77: skipped without Pillow)
"""
import io
import os
import re
import subprocess
import sys
import tempfile

try:
    from PIL import Image, ImageOps
except ImportError:
    print("skipped: Pillow (python3-pil) is missing")
    sys.exit(77)

BACKGROUND = (20, 200, 90)
HTML5_CELL = (27, 5, 10, 1)  # 5.4 x 10 CSS pixels, as fractions
WIDTHS = [0, 11, 30, 5]  # 0: the picture's own size


def structured(width, height, mode="RGB"):
    """A gradient with an L-shaped mark in its top left corner; in RGBA the
    alpha runs along a diagonal."""
    picture = Image.new("RGBA", (width, height))
    for y in range(height):
        for x in range(width):
            mark = (2 <= x <= 4 and 2 <= y <= height // 2) or (2 <= x <= width // 3 and height // 2 - 2 <= y <= height // 2)
            colour = (250, 250, 250) if mark else (x * 255 // (width - 1), y * 255 // (height - 1), (x * y * 7) % 256)
            picture.putpixel((x, y), colour + ((x + y) * 255 // (width + height - 2),))
    return picture if mode == "RGBA" else picture.convert(mode)


def with_orientation(picture, orientation):
    """The picture stored so that EXIF's orientation turns it upright."""
    turns = {1: None, 3: Image.ROTATE_180, 6: Image.ROTATE_90, 8: Image.ROTATE_270, 5: Image.TRANSPOSE,
             2: Image.FLIP_LEFT_RIGHT}
    stored = picture if turns[orientation] is None else picture.transpose(turns[orientation])
    exif = Image.Exif()
    exif[0x0112] = orientation
    return stored, exif.tobytes()


def save(picture, form, **options):
    data = io.BytesIO()
    picture.save(data, form, **options)
    return data.getvalue()


def pictures(work):
    """(name, bytes, tolerance per sample) of every form to check."""
    rgb = structured(37, 23)
    alpha = structured(29, 17, "RGBA")
    made = [
        ("plain.png", save(rgb, "PNG"), 0),
        ("alpha.png", save(alpha, "PNG"), 0),
        ("palette.png", save(rgb.quantize(64), "PNG", transparency=3), 0),
        ("grey16.png", save(rgb.convert("I").point(lambda v: v * 257), "PNG"), 0),
        ("interlaced.gif", save(rgb.quantize(200), "GIF", interlace=True), 0),
        ("transparent.gif", save(rgb.quantize(200), "GIF", interlace=False, transparency=5), 0),
        ("baseline.jpg", save(rgb, "JPEG", quality=90), 0),
        ("progressive.jpg", save(structured(61, 45), "JPEG", quality=90, progressive=True), 0),
        ("lossless.webp", save(alpha, "WEBP", lossless=True), 0),
    ]
    for orientation in (3, 5, 6, 8):
        stored, exif = with_orientation(structured(41, 19), orientation)
        made.append(("turned%d.jpg" % orientation, save(stored, "JPEG", quality=92, exif=exif), 0))
    stored, exif = with_orientation(rgb, 2)
    made.append(("mirrored.png", save(stored, "PNG", exif=exif), 0))
    # Interlaced PNG: Pillow does not write it, ImageMagick does.
    path = os.path.join(work, "plain.png")
    with open(path, "wb") as f:
        f.write(made[0][1])
    interlaced = subprocess.run(["convert", path, "-interlace", "PNG", "png:-"], capture_output=True)
    if interlaced.returncode == 0:
        made.append(("interlaced.png", interlaced.stdout, 0))
    return made


def upright(data):
    """Pillow's picture, turned upright and blended onto the background."""
    picture = ImageOps.exif_transpose(Image.open(io.BytesIO(data)))
    if picture.mode.startswith("I"):  # 16-bit grey, which Pillow would clip: rounded to 8 bits
        grey = Image.new("L", picture.size)
        grey.putdata([(2 * v * 255 + 65535) // (2 * 65535) for v in picture.getdata()])
        picture = grey
    picture = picture.convert("RGBA")
    blended = Image.new("RGB", picture.size)
    for y in range(picture.height):
        for x in range(picture.width):
            *colour, a = picture.getpixel((x, y))
            blended.putpixel((x, y), tuple((c * a + b * (255 - a) + 127) // 255 for c, b in zip(colour, BACKGROUND)))
    return blended


def page_size(width, height, columns):
    """The page's characters and lines for a picture at --width columns."""
    wn, wd, hn, hd = HTML5_CELL
    per_column, per_line = height * wn * hd, width * wd * hn
    return columns, max(1, min(65535, (2 * columns * per_column + per_line) // (2 * per_line)))


def spans(index, source, target):
    """The source pixels a target pixel covers, with their weights."""
    if target > source:
        return [((2 * index + 1) * source // (2 * target), 1)]
    start, end = index * source, index * source + source
    return [(s, min(end, (s + 1) * target) - max(start, s * target)) for s in range(start // target, (end - 1) // target + 1)]


def area_average(picture, width, height):
    cells = []
    for y in range(height):
        row = []
        for x in range(width):
            weights = [(sx, sy, wx * wy) for sy, wy in spans(y, picture.height, height)
                       for sx, wx in spans(x, picture.width, width)]
            total = sum(w for _, _, w in weights)
            row.append(tuple((sum(picture.getpixel((sx, sy))[c] * w for sx, sy, w in weights) + total // 2) // total
                             for c in range(3)))
        cells.append(row)
    return cells


def reduced_jpeg(data, least_width, least_height):
    """libjpeg's decode at the smallest of 1/8, 1/4, 1/2 that keeps the
    least size, as stored."""
    picture = Image.open(io.BytesIO(data))
    for scale in (8, 4, 2, 1):
        if -(-picture.width // scale) >= least_width and -(-picture.height // scale) >= least_height:
            break
    picture.draft("RGB", (picture.width // scale, picture.height // scale))
    return ImageOps.exif_transpose(picture).convert("RGB")


def expected_cells(name, data, columns):
    picture = upright(data)
    if columns == 0:
        return [[picture.getpixel((x, y)) for x in range(picture.width)] for y in range(0, picture.height, 2)]
    width, height = page_size(picture.width, picture.height, columns)
    if name.endswith(".jpg"):
        turned = Image.open(io.BytesIO(data)).getexif().get(0x0112, 1) >= 5
        least = (min(width, picture.width), min(height, picture.height))
        picture = reduced_jpeg(data, *(least[::-1] if turned else least))
    return area_average(picture, width, height)


def drawn_cells(program, path, columns):
    arguments = [program, "--html5"] + (["--width", str(columns)] if columns else []) + [path, "x"]
    page = subprocess.run(arguments + [str(c) for c in BACKGROUND], capture_output=True, check=True).stdout.decode()
    cells = []
    for line in page.split("\n"):
        runs = re.findall(r"<i style=color:#([0-9A-F]{6})>([^<]*)", line)
        if runs:
            cells.append([tuple(int(colour[i:i + 2], 16) for i in (0, 2, 4)) for colour, text in runs for _ in text])
    return cells


def compare(name, columns, drawn, wanted, tolerance):
    if len(drawn) != len(wanted) or any(len(a) != len(b) for a, b in zip(drawn, wanted)):
        return ["%s at %s: %d lines of %s cells, want %d of %d" % (name, columns or "full size", len(drawn),
                                                                 sorted({len(r) for r in drawn}), len(wanted),
                                                                 len(wanted[0]))]
    off = [(x, y, got, want) for y, (a, b) in enumerate(zip(drawn, wanted)) for x, (got, want) in enumerate(zip(a, b))
           if max(abs(g - w) for g, w in zip(got, want)) > tolerance]
    if not off:
        return []
    return ["%s at %s: %d of %d cells off, the first (%d, %d) %s, want %s" %
            (name, columns or "full size", len(off), sum(map(len, wanted)), *off[0])]


def main():
    program = sys.argv[1]
    problems, checked = [], 0
    with tempfile.TemporaryDirectory() as work:
        for name, data, tolerance in pictures(work):
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(data)
            for columns in WIDTHS:
                slack = tolerance + (3 if columns and name.endswith(".webp") else 0)
                problems += compare(name, columns, drawn_cells(program, path, columns),
                                    expected_cells(name, data, columns), slack)
                checked += 1
    for problem in problems:
        print("FAIL", problem)
    print("%d passed, %d failed" % (checked - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
