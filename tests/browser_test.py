#!/usr/bin/env python3
"""Loads pages made by mottlepage, the default page and the --html5 page, in
headless Chromium and checks, from the parsed page, what a person would see:
one character per pixel of every second row, in rows of the image's width,
each in its pixel's colour, on the chosen background, with '<', '&' and '>'
of the source string shown as themselves and each character of a UTF-8
string as one cell.

Then --html5 pages drawn with full blocks go through screenshots of Chromium
(at device scale factors 1 and 2) and of Firefox: the centre of every cell
has its pixel's colour, and no screen pixel inside the picture shows the
background (the blocks are solid). So does a --half-blocks page, where
every screen pixel must have its half cell's colour.

Usage: browser_test.py path/to/mottlepage [path/to/chromium]
"""
import html
import json
import os
import random
import re
import subprocess
import sys
import tempfile

import firefox_screenshot

# Walks the page as the browser built it and reports each row of visible
# characters with the colour the browser computed for it.
PROBE = """
<script>
(function () {
  // The default page ends its lines with br; the HTML5 page with newlines
  // in pre blocks of several lines.
  const html5 = document.doctype !== null;
  const rows = [[]];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    if (node.nodeType === Node.ELEMENT_NODE) {
      if (node.tagName === 'BR' || (html5 && node.tagName === 'PRE')) rows.push([]);
      continue;
    }
    if (node.parentElement.closest('script')) continue;
    const colour = getComputedStyle(node.parentElement).color;
    for (const c of node.data) {
      if (c === '\\n' && html5 && node.parentElement.closest('pre')) rows.push([]);
      if (c !== '\\n') rows[rows.length - 1].push([c, colour]);
    }
  }
  while (rows.length && rows[0].length === 0) rows.shift();
  while (rows.length && rows[rows.length - 1].length === 0) rows.pop();
  const result = document.createElement('div');
  result.id = 'mottle-result';
  result.textContent = JSON.stringify({
    background: getComputedStyle(document.body).backgroundColor,
    rows: rows,
  });
  document.documentElement.appendChild(result);
})();
</script>
"""

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic"]


def make_ppm(width, height, pixels):
    return b"P6\n%d %d\n255\n" % (width, height) + bytes(c for p in pixels for c in p)


def seen_in_browser(chromium, page_path, profile):
    result = subprocess.run(
        [chromium, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, "--dump-dom", "file://" + page_path],
        capture_output=True, timeout=120, check=True)
    match = re.search(rb'<div id="mottle-result">(.*?)</div>', result.stdout, re.S)
    if not match:
        raise RuntimeError("no result in the page's DOM")
    return json.loads(html.unescape(match.group(1).decode()))


def expected_rows(width, height, pixels, source):
    rows = []
    for y in range(0, height, 2):
        row = []
        for x in range(width):
            r, g, b = pixels[y * width + x]
            char = source[(x + y) % len(source)] if source else None
            row.append((char, "rgb(%d, %d, %d)" % (r, g, b)))
        rows.append(row)
    return rows


def check_case(program, chromium, work, name, width, height, pixels, source, background, html5=False):
    image = os.path.join(work, name + ".ppm")
    with open(image, "wb") as f:
        f.write(make_ppm(width, height, pixels))
    args = [program] + (["--html5"] if html5 else []) + [image] + ([source] if source is not None else []) + \
        [str(c) for c in background or []]
    page = subprocess.run(args, capture_output=True, check=True).stdout
    page_path = os.path.join(work, name + ".html")
    with open(page_path, "wb") as f:
        f.write(page + PROBE.encode())
    seen = seen_in_browser(chromium, page_path, os.path.join(work, "profile"))

    problems = []
    r, g, b = (min(255, max(0, c)) for c in background) if html5 and background else background or (0, 0, 0)
    if seen["background"] != "rgb(%d, %d, %d)" % (r, g, b):
        problems.append("background %s" % seen["background"])
    want = expected_rows(width, height, pixels, source)
    if len(seen["rows"]) != len(want):
        problems.append("%d rows, want %d" % (len(seen["rows"]), len(want)))
    for y, (got_row, want_row) in enumerate(zip(seen["rows"], want)):
        if len(got_row) != len(want_row):
            problems.append("row %d: %d characters, want %d" % (y, len(got_row), len(want_row)))
            continue
        for x, ((got_char, got_colour), (want_char, want_colour)) in enumerate(zip(got_row, want_row)):
            if want_char is None and not ("a" <= got_char <= "y"):
                problems.append("row %d col %d: %r is no letter a..y" % (y, x, got_char))
            if want_char is not None and got_char != want_char:
                problems.append("row %d col %d: %r, want %r" % (y, x, got_char, want_char))
            if got_colour != want_colour:
                problems.append("row %d col %d: %s, want %s" % (y, x, got_colour, want_colour))
    return problems


def screenshot(browser, page, work, size, scale=1):
    shot = os.path.join(work, "shot.png")
    if "firefox" in browser:
        firefox_screenshot.take_screenshot(browser, page, shot, size, work)
    else:
        command = [browser, *CHROMIUM_FLAGS, "--hide-scrollbars", "--user-data-dir=" + os.path.join(work, "profile"),
                   "--force-device-scale-factor=%d" % scale, "--window-size=%d,%d" % size, "--screenshot=" + shot,
                   "file://" + page]
        subprocess.run(command, capture_output=True, timeout=300, check=True, env=dict(os.environ, HOME=work))
    ppm = subprocess.run(["/usr/bin/convert", shot, "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
    header = ppm.split(b"\n", 3)
    shot_width = int(header[1].split()[0])
    return lambda x, y: tuple(header[3][(y * shot_width + x) * 3:(y * shot_width + x) * 3 + 3])


def check_blocks(program, browser, scale, work, width, height, pixels, background):
    """An --html5 page of full blocks, at a device scale factor: the cell
    centres have their pixels' colours, and no screen pixel inside the
    picture is background."""
    image = os.path.join(work, "blocks.ppm")
    with open(image, "wb") as f:
        f.write(make_ppm(width, height, pixels))
    page = os.path.join(work, "blocks.html")
    with open(page, "wb") as f:
        f.write(subprocess.run([program, "--html5", image, "\u2588", *map(str, background)],
                               capture_output=True, check=True).stdout)
    cell, line, margin = 5.4, 10, 8  # the page's font and the body's margin, in CSS pixels
    lines = (height + 1) // 2
    pixel_at = screenshot(browser, page, work, (max(400, int(margin * 2 + cell * width) + 20),
                                               max(300, int(margin * 2 + line * lines) + 20)), scale)
    problems = []
    for row in range(lines):
        for x in range(width):
            want = pixels[2 * row * width + x]
            got = pixel_at(int(scale * (margin + cell * (x + 0.5))), int(scale * (margin + line * (row + 0.5))))
            if max(abs(a - b) for a, b in zip(got, want)) > 2:
                problems.append("line %d cell %d: %s, want %s" % (row, x, got, want))
    # The pictures hold no blue and the background is blue: every screen
    # pixel wholly inside the picture with blue in it is a seam.
    right, bottom = int(scale * (margin + cell * width)), scale * (margin + line * lines)
    seams = [(x, y) for y in range(scale * margin, bottom) for x in range(scale * margin, right)
             if pixel_at(x, y)[2] > 40]
    if seams:
        problems.append("%d screen pixels (%.1f%%) show the background, the first at %s" %
                        (len(seams), 100 * len(seams) / ((right - scale * margin) * (bottom - scale * margin)),
                         seams[0]))
    return problems


def check_halves(program, browser, scale, work, pixels, width=250, height=81, blue=(0, 0, 255)):
    """A --half-blocks page: every screen pixel inside the picture has its
    half cell's colour (under the odd last row, the background's), but for
    one blended pixel row at most at a split; a pixel column that two cells
    5.25 px wide share may take either's colour."""
    image, page = os.path.join(work, "halves.ppm"), os.path.join(work, "halves.html")
    with open(image, "wb") as f:
        f.write(make_ppm(width, height, pixels))
    subprocess.run([program, "--half-blocks", "-o", page, image, "", *map(str, blue)], check=True)
    cell, half, margin, rows = 5.25, 5, 8, height + 1
    pixel_at = screenshot(browser, page, work, (int(margin * 3 + cell * width), margin * 3 + half * rows), scale)
    colour = lambda row, x: pixels[row * width + x] if row < height else blue
    off, blended = [], {}
    for y in range(scale * margin, scale * (margin + half * rows)):
        row, split = int(((y + 0.5) / scale - margin) // half), round(((y + 0.5) / scale - margin) / half)
        for x in range(scale * margin, int(scale * (margin + cell * width))):
            got, left, right = pixel_at(x, y), (x - 0.5) / scale - margin, (x + 0.5) / scale - margin
            cells = range(max(0, int(left // cell)), min(width - 1, int(right // cell)) + 1)
            if any(max(abs(a - b) for a, b in zip(got, colour(row, k))) <= 2 for k in cells):
                continue
            pair = [colour(r, k) for r in (split - 1, split) if 0 <= r < rows for k in cells]
            if scale * (margin + half * split) - y in (0, 1) and all(
                    min(c[i] for c in pair) - 2 <= got[i] <= max(c[i] for c in pair) + 2 for i in range(3)):
                blended.setdefault(split, set()).add(y)  # a pixel row between the split's halves
            else:
                off.append((x, y, got))
    print("     %d screen pixels checked, %d off, blended rows at %d splits" %
          (scale * scale * int(cell * width) * half * rows, len(off), len(blended)))
    twice = [split for split, ys in blended.items() if len(ys) > 1]
    return ["%d screen pixels off their half, the first %s" % (len(off), off[:3])] * bool(off) + \
        ["splits %s blended over two pixel rows" % twice[:5]] * bool(twice)


def main():
    program = sys.argv[1]
    chromium = sys.argv[2] if len(sys.argv) > 2 else "/usr/bin/chromium"
    rng = random.Random(5)
    random_pixels = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(13 * 7)]
    runs = [(rng.randrange(2) * 255, 0, 60) for _ in range(9 * 5)]
    cases = [
        ("worked-example", 2, 3, [(255, 0, 0), (255, 0, 0), (9, 9, 9), (7, 7, 7), (0, 255, 0), (0, 0, 255)],
         "abcd", None),
        ("random-colours", 13, 7, random_pixels, "<&>mottle\"'", (20, 20, 40)),
        ("random-letters", 13, 7, random_pixels, None, None),
        ("colour-runs", 9, 5, runs, "x<y", (255, 255, 255)),
        ("single-pixel", 1, 1, [(1, 2, 3)], "&", (0, 0, 0)),
        ("clamped-background", 2, 3, [(1, 2, 3)] * 6, "ab", (300, -1, 20)),
        # Code points of UTF-8 strings, each one cell.
        ("full-block", 13, 7, random_pixels, "\u2588", None),
        ("accent-block-rose", 13, 7, random_pixels, "\u00e9\u2588\U0001F339<", (20, 20, 40)),
        # More text lines than the browser nests elements deep: the page's
        # unclosed font tags pile up one level per line.
        ("tall", 3, 1501, [tuple(rng.randrange(256) for _ in range(3)) for _ in range(3 * 1501)], "ab", None),
    ]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as work:
        checks = [("%s%s" % (case[0], " --html5" if html5 else ""),
                   lambda case=case, html5=html5: check_case(program, chromium, work, *case, html5=html5))
                  for html5 in (False, True) for case in cases if not (case[0] == "clamped-background" and not html5)]
        # Pictures without blue on a blue background, over several blocks.
        no_blue = [(r, g, 0) for r, g, _ in random_pixels]
        halves = [(rng.randrange(256), rng.randrange(256), 0) for _ in range(250 * 81)]
        blocks = [(13, 7, no_blue, (0, 0, 255)), (250, 80, ([(r, 0, 0) for r, _, _ in runs] * 445)[:20000], (0, 0, 255))]
        for browser, scale in (("chromium", 1), ("chromium", 2), ("firefox", 1)):
            for width, height, pixels, background in blocks:
                checks.append(("solid blocks %dx%d in %s at scale %d" % (width, height, browser, scale),
                               lambda b=browser, s=scale, w=width, h=height, p=pixels, bg=background:
                               check_blocks(program, chromium if b == "chromium" else b, s, work, w, h, p, bg)))
            checks.append(("halves 250x81 in %s at scale %d" % (browser, scale), lambda b=browser, s=scale:
                           check_halves(program, chromium if b == "chromium" else b, s, work, halves)))
        for name, check in checks:
            problems = check()
            if problems:
                failed += 1
                print("FAIL %s: %s" % (name, "; ".join(problems[:5])))
            else:
                passed += 1
                print("ok   %s" % name)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
