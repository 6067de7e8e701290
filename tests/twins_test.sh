#!/usr/bin/env bash
# Plain and binary files of the same pixels, written by netpbm and by
# ImageMagick, read from files and from pipes, must all give the same page.
# Usage: twins_test.sh path/to/mottlepage path/to/examples
set -euo pipefail
program=$1
examples=$2
convert=/usr/bin/convert  # the real ImageMagick, whatever else is on PATH
# Without the tools the test is skipped (status 77), not failed.
for tool in pnmtoplainpnm ppmtoppm pnmtopng pngtopnm pamscale; do
  command -v "$tool" > /dev/null || { echo "skipped: $tool missing, install netpbm"; exit 77; }
done
[ -x "$convert" ] || { echo "skipped: $convert missing, install imagemagick"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

same_page() {  # name, reference page, command...
  local name=$1 reference=$2
  shift 2
  if "$@" > "$work/page.html" 2> "$work/err" && cmp -s "$reference" "$work/page.html" && [ ! -s "$work/err" ]; then
    passes=$((passes + 1))
  else
    echo "FAIL: $name"
    failures=$((failures + 1))
  fi
}

# Images: the example, a random one, and a scaled copy (odd height).
cp "$examples/wheel.ppm" "$work/wheel.ppm"
{ printf 'P6\n97 63\n255\n'; head -c $((97 * 63 * 3)) /dev/urandom; } > "$work/noise.ppm"
pamscale -width 301 -height 77 "$work/wheel.ppm" > "$work/scaled.ppm"

for image in wheel noise scaled; do
  binary=$work/$image.ppm
  for source in "" "ab<&>cd" "x"; do
    reference=$work/$image-reference.html
    "$program" "$binary" "$source" 1 2 3 > "$reference"
    pnmtoplainpnm "$binary" > "$work/netpbm-plain.ppm"
    "$convert" "$binary" -compress none "$work/magick-plain.ppm"
    "$convert" "$binary" "$work/magick-raw.ppm"
    ppmtoppm < "$work/netpbm-plain.ppm" > "$work/netpbm-raw.ppm"
    # One line for all samples, as some writers do.
    { head -n 3 "$work/netpbm-plain.ppm"; tail -n +4 "$work/netpbm-plain.ppm" | tr '\n' ' '; } > "$work/one-line.ppm"
    # CR LF line ends.
    sed 's/$/\r/' "$work/netpbm-plain.ppm" | sed '1,3s/\r$//' > "$work/crlf.ppm"
    for twin in netpbm-plain magick-plain magick-raw netpbm-raw one-line crlf; do
      same_page "$image $twin '$source'" "$reference" "$program" "$work/$twin.ppm" "$source" 1 2 3
    done
    same_page "$image plain pipe '$source'" "$reference" \
      sh -c '"$1" /dev/stdin "$2" 1 2 3 < "$3"' _ "$program" "$source" "$work/netpbm-plain.ppm"
    same_page "$image binary pipe '$source'" "$reference" \
      sh -c 'cat "$3" | "$1" - "$2" 1 2 3' _ "$program" "$source" "$work/magick-raw.ppm"
    same_page "$image png round trip '$source'" "$reference" \
      sh -c 'pnmtopng "$3" | pngtopnm | "$1" /dev/stdin "$2" 1 2 3' _ "$program" "$source" "$binary"
  done
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
