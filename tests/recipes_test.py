#!/usr/bin/env python3
"""Runs every command line of the README's Recipes section as written there
on pictures made here (colour and greyscale photo.jpg, picture.png with
transparency and with 16 bits, picture.gif): each must end with status 0 and
a page of the expected number of lines. With --circle CHROMIUM, a disc goes
through the first picture.png recipe and must be shown as high as it is
wide, within 5%.

Usage: recipes_test.py MOTTLEPAGE README [--circle CHROMIUM]   (77: skipped)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

CONVERT = "/usr/bin/convert"
TEXT_LINES = 83  # every picture is 500 x 400; the recipes make it 250 x 166
PLASMA = ["-seed", "3", "-size", "500x400", "plasma:fractal"]
DISC = ["-size", "500x400", "xc:none", "-fill", "red", "-draw", "circle 250,200 250,60"]
PICTURES = {
    "photo.jpg": [PLASMA, PLASMA + ["-colorspace", "Gray"]],
    "picture.png": [DISC, PLASMA + ["-depth", "16"]],
    "picture.gif": [DISC],
}


def run_recipe(recipe, picture, work, program_dir):
    name = next(name for name in PICTURES if name in recipe)
    subprocess.run([CONVERT, *picture, os.path.join(work, name)], check=True)
    result = subprocess.run(["bash", "-o", "pipefail", "-c", recipe], cwd=work, capture_output=True,
                            env=dict(os.environ, PATH=program_dir + os.pathsep + os.environ["PATH"]))
    page = os.path.join(work, re.search(r"> *(\S+\.html)\s*$", recipe).group(1))
    if result.returncode != 0:
        return None, "status %d: %s" % (result.returncode, result.stderr.decode(errors="replace")[-300:])
    with open(page, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")[:-1]
    want = (6 if lines[2].startswith("<meta") else 5) + 2 * TEXT_LINES + 2
    return page, None if len(lines) == want else "%d lines, want %d" % (len(lines), want)


def disc_proportion(page, chromium, work):
    shot = os.path.join(work, "disc.png")
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-quic", "--hide-scrollbars", "--user-data-dir=" + os.path.join(work, "profile"),
                    "--window-size=1500,1500", "--screenshot=" + shot, "file://" + page],
                   check=True, capture_output=True, timeout=300)
    # The disc's box: whatever differs from the white page.
    box = subprocess.run([CONVERT, shot, "-fuzz", "10%", "-trim", "-format", "%w %h", "info:"],
                         check=True, capture_output=True, text=True).stdout.split()
    print("disc shown %s x %s px" % tuple(box))
    return int(box[1]) / int(box[0])


def main():
    program_dir = os.path.dirname(os.path.abspath(sys.argv[1]))
    with open(sys.argv[2], encoding="utf-8") as f:
        section = f.read().split("\n## Recipes\n", 1)[1].split("\n## ", 1)[0]
    recipes = [line.strip() for line in section.splitlines() if line.startswith("    ") and "mottlepage -" in line]
    missing = [t for t in ("jpegtopnm", "pngtopnm", "giftopnm", "pamscale", "pamdepth", "ppmtoppm", CONVERT)
               if shutil.which(t) is None]
    if missing:
        print("skipped: %s missing, install netpbm and imagemagick" % ", ".join(missing))
        return 77
    problems = [] if len(recipes) >= 4 else ["found %d recipes in the README" % len(recipes)]
    with tempfile.TemporaryDirectory() as work:
        if "--circle" in sys.argv:
            recipe = next(line for line in recipes if "picture.png" in line)
            page, problem = run_recipe(recipe, DISC, work, program_dir)
            proportion = disc_proportion(page, sys.argv[sys.argv.index("--circle") + 1], work) if page else 0
            if abs(proportion - 1) > 0.05:
                problems.append(problem or "height / width %.3f: %s" % (proportion, recipe))
        else:
            for recipe in recipes:
                for picture in PICTURES[next(name for name in PICTURES if name in recipe)]:
                    problem = run_recipe(recipe, picture, work, program_dir)[1]
                    if problem:
                        problems.append("%s (%s): %s" % (recipe, " ".join(picture[-2:]), problem))
    for problem in problems:
        print("FAIL", problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
