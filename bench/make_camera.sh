#!/usr/bin/env bash
# The benchmarks' camera-like photo, made once in DIR with ImageMagick: 4272
# x 2848 (a 12-megapixel camera's 3:2) from a plasma fractal, a slight blur
# and a camera's light noise, so that it compresses as a photo does.
# camera.png holds the picture, camera.jpg is baseline 4:2:0 at quality 92
# (about 2.7 MB, the size of a camera's 12 megapixels), camera-progressive.jpg
# the same picture progressive, camera.tif the picture as an 8-bit LZW
# TIFF, camera.jxl as JPEG XL (cjxl -q 90).
# Usage: make_camera.sh DIR
set -euo pipefail
cd "$1"
if ! [ -f camera.png ] || ! [ -f camera.jpg ] || ! [ -f camera-progressive.jpg ] || ! [ -f camera.tif ] ||
   ! [ -f camera.jxl ]; then
  echo "making a 4272 x 2848 camera-like photo in $1 (ImageMagick takes a minute)"
  convert -seed 7 -size 4272x2848 plasma:fractal -blur 0x1.5 -attenuate 0.25 +noise Gaussian camera.png
  convert camera.png -sampling-factor 2x2 -quality 92 camera.jpg
  convert camera.png -sampling-factor 2x2 -quality 92 -interlace Plane camera-progressive.jpg
  convert camera.png -depth 8 -compress lzw camera.tif
  convert camera.png -depth 8 camera.ppm
  cjxl -q 90 --quiet camera.ppm camera.jxl 2> /dev/null
  rm camera.ppm
fi
