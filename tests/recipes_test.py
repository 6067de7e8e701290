#!/usr/bin/env python3
"""Runs every command line of the README's Recipes section as written there
on pictures made here (picture.pam with transparency and with 16 bits,
picture.bmp, a 16-bit grey.pgm, photo.heic): each must end with status 0
and a page of the number of lines its options ask for.

With --circle CHROMIUM, a disc goes through the first picture.pam recipe, as
written, with --html5 and with --half-blocks, and must be shown as high as it
is wide, within 3%, in Chromium and in Firefox.

With --suggestions, the program is given pictures it may not read (SVG, XPM,
PCX, GIF, WebP, TIFF and JPEG XL when built without their libraries, BMP,
PAM, greymaps, bitmaps, 16-bit PPM, ones with a name that needs quoting, one
on standard input): each reason line's suggested command, pasted into bash,
must draw the page into the file it names. A JPEG XL is made with cjxl when
it is there, and its command needs GraphicsMagick's gm.

Usage: recipes_test.py MOTTLEPAGE README [--circle CHROMIUM | --suggestions]   (77: skipped)
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

import firefox_screenshot

CONVERT = "/usr/bin/convert"
CELL_WIDTH, LINE_HEIGHT = 5.4, 13.0  # the page's cell, as the program assumes it
HTML5_LINE_HEIGHT = 10.0
PLASMA = ["-seed", "3", "-size", "500x400", "plasma:fractal"]
DISC = ["-size", "500x400", "xc:none", "-fill", "red", "-draw", "circle 250,200 250,60"]
PICTURES = {
    "picture.pam": [DISC, PLASMA + ["-depth", "16"]],
    "picture.bmp": [PLASMA],
    "grey.pgm": [PLASMA + ["-colorspace", "Gray", "-depth", "16"]],
    "photo.heic": [PLASMA],
}
# Pictures the program may refuse, and how ImageMagick makes each (a JPEG XL
# through a PNG and cjxl); one it reads (a build with giflib reads GIF)
# draws its page and is passed over.
REFUSED = {
    "picture.gif": [], "picture.webp": ["-alpha", "on"], "picture.tif": ["-depth", "16"],
    "my picture's $5.tif": ["-alpha", "on", "-orient", "right-top"], "picture.bmp": [],
    "picture.pam": ["-alpha", "on", "-depth", "16"], "my picture's $5.pam": ["-alpha", "on"],
    "grey.pgm": ["-depth", "16"], "plain.pgm": ["-compress", "none"],
    "bits.pbm": [], "plain.pbm": ["-compress", "none"], "deep.ppm": ["-depth", "16"],
    "picture.xpm": [], "picture.pcx": [], "picture.svg": None,
    "my picture's $5.jxl": ["-alpha", "on"],
}
# An SVG as drawing programs write it: an XML declaration, then the root.
SVG = b"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="500" height="400"><circle cx="250" cy="200" r="140" fill="red"/></svg>
"""


def page_lines(command, width, height):
    """Text lines of the page the command's --width and --height ask for."""
    columns = int((re.search(r"--width (\d+)", command) or [0, 0])[1])
    lines = int((re.search(r"--height (\d+)", command) or [0, 0])[1])
    line_height = HTML5_LINE_HEIGHT if "--html5" in command else LINE_HEIGHT
    per_column = height / width * CELL_WIDTH / line_height
    if "--half-blocks" in command:  # picture rows of 5.25 x 5 px half cells, two a line
        return (max(1, round(columns * height / width * 5.25 / 5)) + 1) // 2
    if columns and (not lines or columns * per_column <= lines):
        return max(1, round(columns * per_column))
    return lines


def check_page(page, want_lines):
    with open(page, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if text.startswith("<!DOCTYPE html>"):
        got = text.count("</i>\n") + text.count("</i></pre>")
        return None if got == want_lines else "%d text lines, want %d" % (got, want_lines)
    lines = text.split("\n")[:-1]
    want = (6 if lines[2].startswith("<meta") else 5) + 2 * want_lines + 2
    return None if len(lines) == want else "%d lines, want %d" % (len(lines), want)


def run_shell(command, work, program_dir, stdin=b""):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=work, capture_output=True, input=stdin,
                          env=dict(os.environ, PATH=program_dir + os.pathsep + os.environ["PATH"]))


def run_recipe(recipe, picture, work, program_dir):
    name = next(name for name in PICTURES if name in recipe)
    subprocess.run([CONVERT, *picture, os.path.join(work, name)], check=True)
    result = run_shell(recipe, work, program_dir)
    page = os.path.join(work, re.search(r"> *(\S+\.html)\s*$", recipe).group(1))
    if result.returncode != 0:
        return None, "status %d: %s" % (result.returncode, result.stderr.decode(errors="replace")[-300:])
    return page, check_page(page, page_lines(recipe, 500, 400))


def screenshot(browser, page, work):
    shot = os.path.join(work, browser + ".png")
    if browser == "chromium":
        command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--disable-quic", "--hide-scrollbars", "--user-data-dir=" + os.path.join(work, "profile"),
                   "--window-size=1500,1500", "--screenshot=" + shot, "file://" + page]
        subprocess.run(command, check=True, capture_output=True, timeout=300, env=dict(os.environ, HOME=work))
    else:
        firefox_screenshot.take_screenshot("firefox-esr", page, shot, (1500, 1500), work)
    return shot


def disc_proportion(page, browser, work):
    # The disc's box: whatever differs from the white page.
    box = subprocess.run([CONVERT, screenshot(browser, page, work), "-fuzz", "10%", "-trim", "-format", "%w %h",
                          "info:"], check=True, capture_output=True, text=True).stdout.split()
    print("%s: disc shown %s x %s px" % (browser, box[0], box[1]))
    return int(box[1]) / int(box[0])


def check_circle(recipes, browsers, work, program_dir):
    recipe = next(line for line in recipes if "picture.pam" in line)
    problems = []
    for page_recipe in (recipe, recipe.replace("| mottlepage ", "| mottlepage --html5 "),
                        recipe.replace("| mottlepage ", "| mottlepage --half-blocks ").replace('"\u2588"', '""')):
        page, problem = run_recipe(page_recipe, DISC, work, program_dir)
        problems += [problem] if problem else []
        for browser in browsers:
            proportion = disc_proportion(page, browser, work) if page else 0
            if abs(proportion - 1) > 0.03:
                problems.append("%s: height / width %.3f: %s" % (browser, proportion, page_recipe))
    return problems


def check_suggestions(program, work, program_dir):
    problems = []
    for name, options in REFUSED.items():
        if options is None:
            with open(os.path.join(work, name), "wb") as f:
                f.write(SVG)
        elif name.endswith(".jxl"):
            if shutil.which("cjxl") is None:
                continue
            subprocess.run([CONVERT, *PLASMA, *options, os.path.join(work, "jxl.png")], check=True)
            subprocess.run(["cjxl", "--quiet", os.path.join(work, "jxl.png"), os.path.join(work, name)], check=True,
                           capture_output=True)
        else:
            subprocess.run([CONVERT, *PLASMA, *options, os.path.join(work, name)], check=True)
        with open(os.path.join(work, name), "rb") as f:
            picture = f.read()
        # A picture stored turned a quarter is drawn upright: 400 x 500.
        shown_size = (400, 500) if "right-top" in (options or []) else (500, 400)
        for arguments, stdin in (([name, "\u2588", "1", "2", "3"], b""), (["--height", "40", "-"], picture)):
            failure = subprocess.run([program, *arguments], cwd=work, capture_output=True, input=stdin)
            if failure.returncode == 0:
                continue  # this build reads the format
            reason = failure.stderr.decode(errors="replace").strip().split("\n")[-1]
            if "draw it with: " not in reason:
                problems.append("%s: no command in %r" % (name, reason))
                continue
            command = reason.split("draw it with: ", 1)[1]
            words = shlex.split(command)
            page = os.path.join(work, words[words.index("-o") + 1])  # named after the picture
            if os.path.exists(page):
                os.remove(page)
            result = run_shell(command, work, program_dir, stdin)
            problem = "status %d: %s" % (result.returncode, result.stderr.decode(errors="replace")[-200:]) \
                if result.returncode != 0 else check_page(page, page_lines(command, *shown_size))
            if problem:
                problems.append("%s: %s: %s" % (name, command, problem))
    return problems


def main():
    program = os.path.abspath(sys.argv[1])
    program_dir = os.path.dirname(program)
    with open(sys.argv[2], encoding="utf-8") as f:
        section = f.read().split("\n## Recipes\n", 1)[1].split("\n## ", 1)[0]
    recipes = [line.strip() for line in section.splitlines() if line.startswith("    ") and "| mottlepage -" in line
               and not line.strip().startswith("mottlepage:")]
    missing = [t for t in ("tifftopnm", "bmptopnm", "pamdepth",
                           "ppmtoppm", CONVERT, "rsvg-convert") if shutil.which(t) is None]
    missing = [t for t in ("pamtopnm", "bmptopnm", "pamdepth",
                           "ppmtoppm", CONVERT) if shutil.which(t) is None]
    if missing:
        print("skipped: %s missing, install netpbm, imagemagick and librsvg2-bin" % ", ".join(missing))
        return 77
    problems = [] if len(recipes) >= 6 else ["found %d recipes in the README" % len(recipes)]
    with tempfile.TemporaryDirectory() as work:
        if "--circle" in sys.argv:
            browsers = [sys.argv[sys.argv.index("--circle") + 1]] + (["firefox"] if shutil.which("firefox-esr") else [])
            problems += check_circle(recipes, browsers, work, program_dir)
        elif "--suggestions" in sys.argv:
            problems += check_suggestions(program, work, program_dir)
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
