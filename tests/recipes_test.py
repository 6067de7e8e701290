#!/usr/bin/env python3
"""Runs every command line of the README's Recipes section, as written there,
on pictures made here: a colour and a greyscale JPEG (photo.jpg), a PNG with
transparency and a 16-bit PNG (picture.png), a GIF (picture.gif). Each must
end with status 0 and write a page of the expected number of lines.

With --circle CHROMIUM, a disc drawn on a transparent PNG goes through the
first recipe for picture.png instead, and the disc that headless Chromium
shows must be as high as it is wide, within 5%.

Usage: recipes_test.py MOTTLEPAGE README [--circle CHROMIUM]
Exits 77 (skipped) when netpbm or ImageMagick is missing.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

CONVERT = "/usr/bin/convert"
SIDE = (500, 400)  # every test picture; the recipes make it 250 x 166: 83 text lines
TEXT_LINES = 83


def recipes(readme):
    with open(readme, encoding="utf-8") as f:
        section = f.read().split("\n## Recipes\n", 1)[1].split("\n## ", 1)[0]
    return [line.strip() for line in section.splitlines() if line.startswith("    ") and "mottlepage -" in line]


def make_pictures():
    """Each input name with the pictures it stands for, as ImageMagick arguments."""
    plasma = ["-seed", "3", "-size", "%dx%d" % SIDE, "plasma:fractal"]
    disc = ["-size", "%dx%d" % SIDE, "xc:none", "-fill", "red", "-draw", "circle 250,200 250,60"]
    return {
        "photo.jpg": {"colour": plasma, "grey": plasma + ["-colorspace", "Gray"]},
        "picture.png": {"transparent": disc, "16-bit": plasma + ["-depth", "16"], "disc": disc},
        "picture.gif": {"gif": disc},
    }


def run_recipe(recipe, name, picture_arguments, work, program_dir):
    subprocess.run([CONVERT, *picture_arguments, os.path.join(work, name)], check=True)
    result = subprocess.run(["bash", "-o", "pipefail", "-c", recipe], cwd=work, capture_output=True,
                            env=dict(os.environ, PATH=program_dir + os.pathsep + os.environ["PATH"]))
    page_name = re.search(r"> *(\S+\.html)\s*$", recipe).group(1)
    return result, os.path.join(work, page_name)


def check_lines(result, page):
    if result.returncode != 0:
        return "status %d: %s" % (result.returncode, result.stderr.decode(errors="replace")[-300:])
    with open(page, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")[:-1]
    head = 6 if lines[2].startswith("<meta") else 5
    if len(lines) != head + 2 * TEXT_LINES + 2:
        return "%d lines, want %d" % (len(lines), head + 2 * TEXT_LINES + 2)
    return None


def disc_proportion(page, chromium, work):
    shot = os.path.join(work, "disc.png")
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-quic", "--hide-scrollbars", "--user-data-dir=" + os.path.join(work, "profile"),
                    "--window-size=1500,1500", "--screenshot=" + shot, "file://" + page],
                   check=True, capture_output=True, timeout=300)
    # The drawn disc's box: everything that differs from the white page.
    box = subprocess.run([CONVERT, shot, "-fuzz", "10%", "-trim", "-format", "%w %h", "info:"],
                         check=True, capture_output=True, text=True).stdout.split()
    width, height = int(box[0]), int(box[1])
    print("disc shown %d x %d px" % (width, height))
    return height / width


def main():
    program_dir = os.path.dirname(os.path.abspath(sys.argv[1]))
    lines = recipes(sys.argv[2])
    for tool in ("jpegtopnm", "pngtopnm", "giftopnm", "pamscale", "pamdepth", "ppmtoppm"):
        if shutil.which(tool) is None:
            print("skipped: %s missing, install netpbm" % tool)
            return 77
    if not os.access(CONVERT, os.X_OK):
        print("skipped: %s missing, install imagemagick" % CONVERT)
        return 77
    if len(lines) < 4:
        print("FAIL: found %d recipes in the README" % len(lines))
        return 1
    pictures = make_pictures()
    with tempfile.TemporaryDirectory() as work:
        if len(sys.argv) > 4 and sys.argv[3] == "--circle":
            recipe = next(line for line in lines if "picture.png" in line)
            result, page = run_recipe(recipe, "picture.png", pictures["picture.png"]["disc"], work, program_dir)
            proportion = disc_proportion(page, sys.argv[4], work) if result.returncode == 0 else 0
            print("%s  height / width %.3f: %s" % ("ok  " if abs(proportion - 1) <= 0.05 else "FAIL", proportion,
                                                    recipe))
            return 0 if abs(proportion - 1) <= 0.05 else 1
        failed = passed = 0
        for recipe in lines:
            name = next(name for name in pictures if name in recipe)
            for kind, picture_arguments in pictures[name].items():
                if kind == "disc":
                    continue
                problem = check_lines(*run_recipe(recipe, name, picture_arguments, work, program_dir))
                if problem:
                    failed += 1
                    print("FAIL %s: %s: %s" % (kind, recipe, problem))
                else:
                    passed += 1
        print("%d passed, %d failed" % (passed, failed))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
