#!/usr/bin/env python3
"""Measures what the recipes and the README's advice rest on:

  cells  the width of a character cell and the height of a text line, on
         the default page and on the --html5 page, in headless Chromium and
         in headless Firefox (a text line stands for two image rows);
  times  how long headless Chromium and Firefox take to show the default
         page and the --html5 page of a photo-like picture at several widths
         (the same cells on both), less an empty page's time, and each page's
         size; at 1000 wide also the whole page in Chromium, in a window as
         tall as the page, so that nothing is skipped.
  halves the --half-blocks page against the --html5 page of "█" at 250
         wide, of the photo-like picture or of the photos given: each page's
         size, Chromium's first screen less an empty page's (best of three),
         and how close the screenshot comes to the photo at the size drawn
         (PSNR, ImageMagick's compare).

Usage: browser_bench.py MOTTLEPAGE [cells|times|all] [WIDTH...]
       browser_bench.py MOTTLEPAGE halves [PHOTO...]
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
    """Renders page to picture; returns the wall time the browser took, or
    None when it took more than half an hour."""
    start = time.monotonic()
    try:
        render(browser, page, picture, work, size)
    except subprocess.TimeoutExpired:
        return None
    return time.monotonic() - start


def render(browser, page, picture, work, size):
    if browser == "chromium":
        subprocess.run(CHROMIUM + ["--user-data-dir=" + os.path.join(work, "chromium-profile"),
                                   "--window-size=%d,%d" % size, "--screenshot=" + picture, "file://" + page],
                       check=True, capture_output=True, timeout=1800)
    else:
        profile = tempfile.mkdtemp(dir=work)
        subprocess.run(["firefox-esr", "--headless", "--no-remote", "--profile", profile, "--screenshot", picture,
                        "--window-size=%d,%d" % size, "file://" + page],
                       check=True, capture_output=True, timeout=1800, env=dict(os.environ, HOME=work))


def drawn_box(picture):
    """Width and height of what differs from the page's background."""
    info = subprocess.run([CONVERT, picture, "-trim", "-format", "%w %h", "info:"],
                          check=True, capture_output=True, text=True).stdout
    width, height = info.split()
    return int(width), int(height)


def page_of(program, image, work, name, *arguments):
    """The page of the image; options among the arguments go first."""
    options = [a for a in arguments if a.startswith("--")]
    rest = [a for a in arguments if not a.startswith("--")]
    page = os.path.join(work, name + ".html")
    with open(page, "wb") as out:
        subprocess.run([program, *options, image, *rest], check=True, stdout=out)
    return page


def measure_cells(program, work):
    # Red blocks on white, 50 and 250 pixels square: 50 and 250 cells wide,
    # 25 and 125 lines high. The difference cancels margins and glyph edges.
    boxes = {}
    for side in (50, 250):
        image = os.path.join(work, "red%d.ppm" % side)
        subprocess.run([CONVERT, "-size", "%dx%d" % (side, side), "xc:red", "-depth", "8", "ppm:" + image],
                       check=True)
        for kind, options in (("default", []), ("html5", ["--html5"])):
            page = page_of(program, image, work, "red%d-%s" % (side, kind), *options, "\u2588", "255", "255", "255")
            for browser in ("chromium", "firefox"):
                picture = os.path.join(work, "%s-%s-%d.png" % (browser, kind, side))
                screenshot(browser, page, picture, work)
                boxes[browser, kind, side] = drawn_box(picture)
    print("| page | browser | cell width (px) | line height (px) |")
    print("|---|---|---:|---:|")
    for kind in ("default", "html5"):
        for browser in ("chromium", "firefox"):
            cell = (boxes[browser, kind, 250][0] - boxes[browser, kind, 50][0]) / 200
            line = (boxes[browser, kind, 250][1] - boxes[browser, kind, 50][1]) / 100
            print("| %s | %s | %.3f | %.3f |" % (kind, browser, cell, line))


def seconds(value):
    return "> 1800 s" if value is None else "%.1f s" % value


def ratio(value, base):
    return "-" if value is None or base is None else "%.2f" % (value / base)


def measure_times(program, work, widths):
    # A photo-like picture (a plasma fractal: the colour changes at nearly
    # every pixel), scaled as the default page keeps it round, then drawn on
    # both pages with the same cells.
    photo = os.path.join(work, "plasma.png")
    subprocess.run([CONVERT, "-seed", "7", "-size", "2000x1500", "plasma:fractal", photo], check=True)
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as out:
        out.write("<html><body></body></html>\n")
    picture = os.path.join(work, "shot.png")
    browsers = ("chromium", "firefox")
    empty_time = {b: min(screenshot(b, empty, picture, work) for _ in range(3)) for b in browsers}
    print("an empty page: Chromium %.1f s, Firefox %.1f s; times below are less those\n" %
          (empty_time["chromium"], empty_time["firefox"]))
    print("| width | text lines | default page | --html5 page | Chromium: default | --html5 | ratio "
          "| Firefox: default | --html5 | ratio |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    whole = None
    for width in widths:
        image = os.path.join(work, "photo%d.ppm" % width)
        subprocess.run([CONVERT, photo, "-resize", "%dx" % width, "-resize", "100%x83%", "-depth", "8",
                        "ppm:" + image], check=True)
        pages = {kind: page_of(program, image, work, "photo%d-%s" % (width, kind), *options, "\u2588")
                 for kind, options in (("default", []), ("html5", ["--html5"]))}
        runs = 3 if width <= 600 else 1
        times = {}
        for browser in browsers:
            for kind, page in pages.items():
                shots = [screenshot(browser, page, picture, work) for _ in range(runs)]
                times[browser, kind] = None if None in shots else min(shots) - empty_time[browser]
        with open(pages["default"], "rb") as f:
            lines = f.read().count(b"size=\"-3\"")
        sizes = ["%.1f MB" % (os.path.getsize(pages[k]) / 1e6) for k in ("default", "html5")]
        cells = ["%s | %s | %s" % (seconds(times[b, "default"]), seconds(times[b, "html5"]),
                                   ratio(times[b, "html5"], times[b, "default"])) for b in browsers]
        print("| %d | %d | %s | %s | %s | %s |" % (width, lines, sizes[0], sizes[1], cells[0], cells[1]), flush=True)
        if width == 1000:
            # Windows as tall as each page: every line is laid out and drawn.
            whole = {kind: screenshot("chromium", page, picture, work,
                                      (int(width * 5.4) + 40, int(lines * line) + 40)) - empty_time["chromium"]
                     for (kind, page), line in zip(pages.items(), (13, 10))}
    if whole:
        print("\nthe whole page at 1000 wide in Chromium: default %s, --html5 %s, ratio %s" %
              (seconds(whole["default"]), seconds(whole["html5"]), ratio(whole["html5"], whole["default"])))


def closeness(shot, photo, width, height, work):
    """PSNR in dB of the picture drawn at (8, 8) against the photo resized
    to its size."""
    reference, drawn = os.path.join(work, "reference.png"), os.path.join(work, "drawn.png")
    subprocess.run([CONVERT, photo, "-auto-orient", "-resize", "%dx%d!" % (width, height), reference], check=True)
    subprocess.run([CONVERT, shot, "-crop", "%dx%d+8+8" % (width, height), "+repage", drawn], check=True)
    result = subprocess.run(["compare", "-metric", "PSNR", reference, drawn, "null:"], capture_output=True, text=True)
    return float(result.stderr.split()[0])


def measure_halves(program, work, photos):
    if not photos:
        photos = [os.path.join(work, "plasma.png")]
        subprocess.run([CONVERT, "-seed", "7", "-size", "2000x1500", "plasma:fractal", photos[0]], check=True)
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as out:
        out.write("<html><body></body></html>\n")
    shot = os.path.join(work, "shot.png")
    empty_time = min(screenshot("chromium", empty, shot, work) for _ in range(3))
    print("| photo | page | size | Chromium, first screen | PSNR |")
    print("|---|---|---:|---:|---:|")
    for photo in photos:
        width, height = (int(side) for side in subprocess.run(
            [CONVERT, photo, "-auto-orient", "-format", "%w %h", "info:"], check=True, capture_output=True,
            text=True).stdout.split())
        base = {}
        # The picture's drawn size: cells 5.4 x 10 px, half cells 5.25 x 5 px.
        for kind, options, cell, line in (("--html5 \u2588", ["--html5", "\u2588"], 5.4, 10),
                                          ("--half-blocks", ["--half-blocks"], 5.25, 5)):
            page = page_of(program, photo, work, "halves", "--width=250", *options)
            times = [screenshot("chromium", page, shot, work) - empty_time for _ in range(3)]
            lines = int(250 * height / width * cell / line + 0.5)
            psnr = closeness(shot, photo, int(250 * cell), lines * line, work)
            size = os.path.getsize(page)
            base = base or {"size": size, "time": min(times), "psnr": psnr}
            print("| %s | %s | %.2f MB (%.2f) | %.2f s (%.2f) | %.2f dB (%+.2f) |" % (
                os.path.basename(photo), kind, size / 1e6, size / base["size"], min(times),
                min(times) / base["time"], psnr, psnr - base["psnr"]), flush=True)


def main():
    program = os.path.abspath(sys.argv[1])
    what = sys.argv[2] if len(sys.argv) > 2 else "all"
    with tempfile.TemporaryDirectory() as work:
        if what == "halves":
            measure_halves(program, work, [os.path.abspath(photo) for photo in sys.argv[3:]])
            return
        if what in ("cells", "all"):
            measure_cells(program, work)
            print()
        if what in ("times", "all"):
            measure_times(program, work, [int(w) for w in sys.argv[3:]] or [250, 600, 1000, 2000])


if __name__ == "__main__":
    main()
