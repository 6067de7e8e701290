#!/usr/bin/env bash
# Benchmark: a camera's JPEG drawn directly, against the netpbm pipeline
# that was the way before (jpegtopnm into mottlepage) and against jp2a. The
# photo is 4272 x 2848 (a 12-megapixel camera's 3:2), made by
# make_camera.sh with ImageMagick from a plasma fractal, a slight blur and a
# camera's light noise, so that it compresses as a photo does (about 2.7 MB,
# the size of a camera's 12 megapixels at quality 92): baseline 4:2:0 at
# quality 92, and the same picture progressive. Times by hyperfine (medians: the pipeline's runs
# spread widely on a busy machine), peak memory
# by GNU time. The --half-blocks page against the --html5 page of "█":
# its size and the time to write it.
# The same photo, 8 bits, as an LZW TIFF (made by ImageMagick),
# against tiffcp alone (decompressing it to a file) and against the
# ImageMagick pipeline that the program suggested for TIFF before it read
# TIFF; and as JPEG XL (cjxl -q 90) against djxl alone writing a PPM, the
# two run by turns (side by side, so that a busy machine slows both alike),
# medians of 21 runs each.
# Usage: photo_bench.sh MOTTLEPAGE WORK_DIR     (run_bench.sh calls it)
set -euo pipefail
program=$(realpath "$1") work=$2
bench_dir=$(cd "$(dirname "$0")" && pwd)
for tool in hyperfine /usr/bin/time convert jpegtopnm jp2a tiffcp cjxl djxl; do
  command -v "$tool" > /dev/null ||
    { echo "$tool missing: apt-get install hyperfine time imagemagick netpbm jp2a libtiff-tools libjxl-tools"; exit 2; }
done
mkdir -p "$work"
cd "$work"
bash "$bench_dir/make_camera.sh" .

hyperfine_args=(-N --warmup 3 --runs 20 --style basic)
hyperfine "${hyperfine_args[@]}" --export-markdown photos.md --export-csv photos.csv \
  -n "JPEG: mottlepage" "$program --width 250 camera.jpg █" \
  -n "JPEG: jpegtopnm | mottlepage" "sh -c 'jpegtopnm -quiet camera.jpg | $program --width 250 - █'" \
  -n "JPEG: jp2a" "jp2a --colors --htmlls --width=250 camera.jpg" \
  -n "progressive: mottlepage" "$program --width 250 camera-progressive.jpg █" \
  -n "progressive: jpegtopnm | mottlepage" \
     "sh -c 'jpegtopnm -quiet camera-progressive.jpg | $program --width 250 - █'" \
  -n "JPEG: --html5 █" "$program --width 250 --html5 camera.jpg █" \
  -n "JPEG: --half-blocks" "$program --width 250 --half-blocks camera.jpg" > /dev/null
echo
cat photos.md
hyperfine "${hyperfine_args[@]}" --export-markdown tiff.md --export-csv tiff.csv \
  -n "TIFF: mottlepage" "$program --width 250 camera.tif █" \
  -n "TIFF: tiffcp" "tiffcp -c none camera.tif tiffcp-copy.tif" \
  -n "TIFF: convert | mottlepage" \
     "sh -c 'convert camera.tif -auto-orient -background black -alpha remove -depth 8 ppm:- | $program --width 250 - █'" \
  > /dev/null
rm -f tiffcp-copy.tif
echo
cat tiff.md

# JPEG XL and djxl by turns: milliseconds of each run, then the medians.
for run in $(seq 21); do
  start=$EPOCHREALTIME
  "$program" --width 250 camera.jxl █ > /dev/null
  middle=$EPOCHREALTIME
  djxl camera.jxl djxl-photo.ppm --quiet 2> /dev/null
  end=$EPOCHREALTIME
  echo "$start $middle $end"
done | awk '{ printf "%.3f %.3f\n", ($2 - $1) * 1000, ($3 - $2) * 1000 }' > jxl-runs.txt
rm -f djxl-photo.ppm
jxl_median=$(sort -n -k1,1 jxl-runs.txt | awk 'NR == 11 { print $1 }')
djxl_median=$(sort -n -k2,2 jxl-runs.txt | awk 'NR == 11 { print $2 }')
echo
printf '%-40s %8s ms\n' "JPEG XL: mottlepage --width 250 (median)" "$jxl_median" \
  "JPEG XL: djxl camera.jxl photo.ppm (median)" "$djxl_median"

median() { awk -F, -v name="$2" '$1 == name { print $4 }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
all_met=yes
goal() {  # text, value, limit
  local met
  met=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v <= l ? "met" : "MISSED") }')
  [ "$met" = met ] || all_met=no
  printf '%-58s %8s  %s\n' "$1" "$2" "$met"
}
echo
ls -l camera.jpg camera-progressive.jpg camera.tif camera.jxl | awk '{ printf "%-24s %8.1f MB\n", $NF, $5 / 1e6 }'
for image in camera.jpg camera-progressive.jpg camera.tif camera.jxl; do
  peak_kib=$(/usr/bin/time -f %M "$program" --width 250 "$image" "█" 2>&1 > page.html)
  printf '%-24s peak %6.1f MiB\n' "$image" "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')"
  [ "$image" = camera.jpg ] && baseline_mib=$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f", k / 1024 }')
done
echo
jpeg=$(median photos.csv "JPEG: mottlepage")
goal "JPEG: mottlepage over jpegtopnm | mottlepage (<= 0.3)" "$(ratio "$jpeg" "$(median photos.csv "JPEG: jpegtopnm | mottlepage")")" 0.3
goal "JPEG: mottlepage over jp2a (<= 0.5)" "$(ratio "$jpeg" "$(median photos.csv "JPEG: jp2a")")" 0.5
goal "progressive: mottlepage over the pipeline (<= 0.75)" \
  "$(ratio "$(median photos.csv "progressive: mottlepage")" "$(median photos.csv "progressive: jpegtopnm | mottlepage")")" 0.75
goal "JPEG: peak memory, MiB (<= 20)" "$baseline_mib" 20
tiff=$(median tiff.csv "TIFF: mottlepage")
printf '%-58s %8s\n' "TIFF: mottlepage over convert | mottlepage" \
  "$(ratio "$tiff" "$(median tiff.csv "TIFF: convert | mottlepage")")" \
  "TIFF: mottlepage over tiffcp alone" "$(ratio "$tiff" "$(median tiff.csv "TIFF: tiffcp")")"
goal "JPEG XL: mottlepage over djxl, by turns (<= 1.1)" "$(ratio "$jxl_median" "$djxl_median")" 1.1
goal "JPEG: --half-blocks page's bytes over --html5 █ (<= 2.5)" \
  "$(ratio "$("$program" --width 250 --half-blocks camera.jpg | wc -c)" \
           "$("$program" --width 250 --html5 camera.jpg █ | wc -c)")" 2.5
goal "JPEG: --half-blocks writing over --html5 █ (<= 1.5)" \
  "$(ratio "$(median photos.csv "JPEG: --half-blocks")" "$(median photos.csv "JPEG: --html5 █")")" 1.5
[ "$all_met" = yes ]
