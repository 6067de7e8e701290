#!/usr/bin/env bash
# Remakes the README's pictures: the example image as PNG (scaled 3x) and a
# screenshot of its page in headless Chromium.
# Usage: doc/make_pictures.sh [path/to/mottlepage]   (needs netpbm, imagemagick, chromium)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/mottlepage}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pamscale -xscale 3 -yscale 3 -filter point examples/wheel.ppm | pnmtopng > doc/wheel.png
"$program" examples/wheel.ppm "mottlepage " 20 20 40 > "$work/wheel.html"
chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --disable-quic --user-data-dir="$work/profile" \
  --hide-scrollbars --window-size=760,800 --screenshot="$work/page.png" "file://$work/wheel.html" 2> /dev/null
/usr/bin/convert "$work/page.png" -crop 730x790+0+0 -colors 64 PNG8:doc/wheel-page.png
