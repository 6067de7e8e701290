#!/usr/bin/env python3
"""Measures what the recipes and the README's advice rest on:

  cells  the width of a character cell and the height of a text line of the
         page's font, in headless Chromium and in headless Firefox, and the
         aspect factor 2 x cell width / line height (a text line stands for
         two image rows);
  times  how long headless Chromium takes to show the page of a photo-like
         picture at several widths, and each page's size.

Usage: browser_bench.py MOTTLEPAGE [cells|times|all]
Needs chromium, firefox-esr and imagemagick (Debian packages). A browser
benchmark, never a test: the times depend on the machine.
"""
import os
import subprocess
import sys
import tempfile
import time

CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-quic", "--hide-scrollbars"]
CONVERT = "/usr/bin/convert"


def screenshot(browser, page, picture, work, size=(1500, 1900)):
    """Renders page to picture; returns the wall time the browser took."""
    start = time.monotonic()
    if browser == "chromium":
        subprocess.run(CHROMIUM + ["--user-data-dir=" + os.path.join(work, "chromium-profile"),
                                   "--window-size=%d,%d" % size, "--screenshot=" + picture, "file://" + page],
                       check=True, capture_output=True, timeout=3600)
    else:
        profile = tempfile.mkdtemp(dir=work)
        subprocess.run(["firefox-esr", "--headless", "--no-remote", "--profile", profile, "--screenshot", picture,
                        "--window-size=%d,%d" % size, "file://" + page],
                       check=True, capture_output=True, timeout=3600, env=dict(os.environ, HOME=work))
    return time.monotonic() - start


def drawn_box(picture):
    """Width and height of what differs from the page's background."""
    info = subprocess.run([CONVERT, picture, "-trim", "-format", "%w %h", "info:"],
                          check=True, capture_output=True, text=True).stdout
    width, height = info.split()
    return int(width), int(height)


def page_of(program, image, work, name, *arguments):
    page = os.path.join(work, name + ".html")
    with open(page, "wb") as out:
        subprocess.run([program, image, *arguments], check=True, stdout=out)
    return page


def measure_cells(program, work):
    # Red blocks on white, 50 and 250 pixels square: 50 and 250 cells wide,
    # 25 and 125 lines high. The difference cancels margins and glyph edges.
    boxes = {}
    for side in (50, 250):
        image = os.path.join(work, "red%d.ppm" % side)
        subprocess.run([CONVERT, "-size", "%dx%d" % (side, side), "xc:red", "-depth", "8", "ppm:" + image],
                       check=True)
        page = page_of(program, image, work, "red%d" % side, "\u2588", "255", "255", "255")
        for browser in ("chromium", "firefox"):
            picture = os.path.join(work, "%s-%d.png" % (browser, side))
            screenshot(browser, page, picture, work)
            boxes[browser, side] = drawn_box(picture)
    print("| browser | cell width (px) | line height (px) | aspect factor 2 x width / height |")
    print("|---|---:|---:|---:|")
    for browser in ("chromium", "firefox"):
        cell = (boxes[browser, 250][0] - boxes[browser, 50][0]) / 200
        line = (boxes[browser, 250][1] - boxes[browser, 50][1]) / 100
        print("| %s | %.3f | %.3f | %.3f |" % (browser, cell, line, 2 * cell / line))


def measure_times(program, work):
    # A photo-like picture (a plasma fractal: the colour changes at nearly
    # every pixel), through the README's ImageMagick recipe at each width.
    photo = os.path.join(work, "plasma.png")
    subprocess.run([CONVERT, "-seed", "7", "-size", "2000x1500", "plasma:fractal", photo], check=True)
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as out:
        out.write("<html><body></body></html>\n")
    picture = os.path.join(work, "shot.png")
    empty_time = min(screenshot("chromium", empty, picture, work) for _ in range(3))
    print("| width (pixels) | text lines | page size | Chromium, time to show | less an empty page's |")
    print("|---:|---:|---:|---:|---:|")
    for width in (100, 200, 250, 300, 600, 1000):
        image = os.path.join(work, "photo%d.ppm" % width)
        subprocess.run([CONVERT, photo, "-resize", "%dx" % width, "-resize", "100%x83%", "-depth", "8",
                        "ppm:" + image], check=True)
        page = page_of(program, image, work, "photo%d" % width, "\u2588")
        runs = 3 if width <= 300 else 1
        seconds = min(screenshot("chromium", page, picture, work) for _ in range(runs))
        with open(page, "rb") as f:
            lines = f.read().count(b"size=\"-3\"")
        print("| %d | %d | %.1f MB | %.1f s | %.1f s |" % (width, lines, os.path.getsize(page) / 1e6, seconds,
                                                           seconds - empty_time))
    print("\nan empty page: %.1f s" % empty_time)


def main():
    program = os.path.abspath(sys.argv[1])
    what = sys.argv[2] if len(sys.argv) > 2 else "all"
    with tempfile.TemporaryDirectory() as work:
        if what in ("cells", "all"):
            measure_cells(program, work)
            print()
        if what in ("times", "all"):
            measure_times(program, work)


if __name__ == "__main__":
    main()
