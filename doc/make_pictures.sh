#!/usr/bin/env bash
# Remakes the README's pictures: the example image as PNG (scaled 3x) and
# screenshots of its pages in headless Chromium, drawn with a word and with
# the full block, on the default page and on the --html5 page, with shades
# by lightness and with half blocks (the demo's page); and the benchmark's camera-like photo
# (bench/photo_bench.sh) 120 characters wide, drawn with the full block and
# with --half-blocks.
# Usage: doc/make_pictures.sh [path/to/mottlepage]   (needs netpbm, imagemagick, chromium)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/mottlepage}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pamscale -xscale 3 -yscale 3 -filter point examples/wheel.ppm | pnmtopng > doc/wheel.png
screenshot() {  # page, picture[, the part kept and its colours]
  chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --disable-quic --user-data-dir="$work/profile" \
    --hide-scrollbars --window-size=760,800 --screenshot="$work/page.png" "file://$1" 2> /dev/null
  /usr/bin/convert "$work/page.png" -crop "${3:-730x790+0+0}" ${4:--colors 64 PNG8}:"$2"
}
"$program" examples/wheel.ppm "mottlepage " 20 20 40 > "$work/wheel.html"
screenshot "$work/wheel.html" doc/wheel-page.png
"$program" examples/wheel.ppm "█" > "$work/blocks.html"
screenshot "$work/blocks.html" doc/wheel-blocks.png
"$program" --half-blocks examples/wheel.ppm > "$work/halves.html"
screenshot "$work/halves.html" doc/wheel-halves.png
"$program" --html5 examples/wheel.ppm "█" > "$work/html5.html"
screenshot "$work/html5.html" doc/wheel-html5.png
"$program" --shades " .:-=+*#%@" -o "$work/shades.html" examples/wheel.ppm
screenshot "$work/shades.html" doc/wheel-shades.png
# Both 120 characters wide: the blocks' picture is 648 x 430 px, the half
# blocks' 630 x 420 px; the pictures keep every colour.
/usr/bin/convert -seed 7 -size 4272x2848 plasma:fractal -blur 0x1.5 -attenuate 0.25 +noise Gaussian "$work/camera.png"
"$program" --html5 --width 120 "$work/camera.png" "█" > "$work/photo-blocks.html"
screenshot "$work/photo-blocks.html" doc/photo-blocks.png 664x446+0+0 PNG24
"$program" --half-blocks --width 120 "$work/camera.png" > "$work/photo-halves.html"
screenshot "$work/photo-halves.html" doc/photo-halves.png 664x446+0+0 PNG24
