#!/usr/bin/env bash
# Benchmark: hyperfine times mottlepage and the straightforward baseline
# (bench/baseline.cpp) on 3000 x 3000 images, GNU time gives peak memory;
# then a camera's JPEG against jpegtopnm and jp2a (photo_bench.sh), and
# peak memory of pictures much larger than their files (memory_bench.sh).
# Checks that both write the same pages and says whether each goal holds.
# Usage: run_bench.sh MOTTLEPAGE BASELINE BENCH_IMAGES WORK_DIR PLAIN_RATE [SIDE]
set -euo pipefail
program=$1 baseline=$2 images=$3 work=$4 plain_rate=$5 side=${6:-3000}
for tool in hyperfine /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "$tool missing: apt-get install hyperfine time"; exit 2; }
done
bench_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cd "$work"
echo "making $side x $side inputs in $work"
"$images" make . "$side"

# name | image | source string ('' for random letters) | compare with the baseline
cases=(
  "P6 photo: string|photo.ppm|mottlepage |yes"
  "P6 photo: random letters|photo.ppm||yes"
  "P6 photo: UTF-8 █|photo.ppm|█|no"
  "P6 photo: --html5|--html5 photo.ppm|mottlepage |no"
  "P3 photo: string|photo-plain.ppm|mottlepage |yes"
  "P6 flat: string|flat.ppm|mottlepage |yes"
)
hyperfine_args=(-N --warmup 3 --runs 15 --style basic)
commands=()
for row in "${cases[@]}"; do
  IFS='|' read -r name image source compare <<< "$row"
  commands+=(-n "$name" "$program $image '$source'")
  [ "$compare" = yes ] && commands+=(-n "$name (baseline)" "$baseline $image '$source'")
done
# Scaling a camera-sized photo to a screen's width, against reading it.
commands+=(-n "P6 camera 4224 x 3168: --width 250" "$program --width 250 camera.ppm 'mottlepage '"
           -n "P6 camera 4224 x 3168: read pixels" "$images read camera.ppm")
hyperfine "${hyperfine_args[@]}" --export-markdown times.md --export-csv times.csv "${commands[@]}" > /dev/null
# Standard input against a file, both through sh so that they pay alike.
hyperfine "${hyperfine_args[@]}" --export-markdown stdin.md --export-csv stdin.csv \
  -n "P6 photo: a file" "sh -c 'exec $program photo.ppm x'" \
  -n "P6 photo: -" "sh -c 'exec $program - x < photo.ppm'" \
  -n "P3 photo: a file" "sh -c 'exec $program photo-plain.ppm x'" \
  -n "P3 photo: -" "sh -c 'exec $program - x < photo-plain.ppm'" > /dev/null
hyperfine "${hyperfine_args[@]}" --export-markdown file.md --output=./page.html \
  -n "P6 photo: string, to a file" "$program photo.ppm 'mottlepage '" > /dev/null

# The floor: read the pixels into a fresh buffer, then cat the page.
"$program" photo.ppm "mottlepage " > floor-page.html
hyperfine "${hyperfine_args[@]}" --export-csv floor.csv -n read "$images read photo.ppm" \
  -n cat "cat floor-page.html" > /dev/null

# Best time of a command's runs, from hyperfine's CSV export.
best() { awk -F, -v name="$2" '$1 == name { print $7 }' "$1"; }
echo
cat times.md
tail -n 1 file.md
echo
cat stdin.md

# The plain reader's parse rate with each instruction set, beside cat's.
hyperfine "${hyperfine_args[@]}" --export-csv cat.csv -n cat "cat photo-plain.ppm" --output=null > /dev/null
echo
echo "plain photo ($(du -m photo-plain.ppm | cut -f1) MB), load time and rate per instruction set:"
"$plain_rate" photo-plain.ppm 15
awk -v s="$(stat -c %s photo-plain.ppm)" -v t="$(best cat.csv cat)" 'BEGIN { printf "cat     %8.1f ms %8.0f MB/s\n", t * 1e3, s / t / 1e6 }'
echo
printf 'floor (best runs): read pixels %.3f s + cat page %.3f s\n' "$(best floor.csv read)" "$(best floor.csv cat)"

identical=yes
worst_over=0
buffer_mib=$(awk -v s="$side" 'BEGIN { print s * s * 3 / 1048576 }')
echo
printf '%-26s %10s %12s  %s\n' case "peak MiB" "over buffer" "pages identical"
for row in "${cases[@]}"; do
  IFS='|' read -r name image source compare <<< "$row"
  # The photos are drawn unscaled, which a warning on standard error notes.
  peak_kib=$(/usr/bin/time -f %M "$program" $image "$source" 2>&1 > page.html | tail -n 1)
  over=$(awk -v k="$peak_kib" -v b="$buffer_mib" 'BEGIN { printf "%.1f", k / 1024 - b }')
  worst_over=$(awk -v a="$over" -v b="$worst_over" 'BEGIN { print (a > b ? a : b) }')
  same=-
  if [ "$compare" = yes ]; then
    "$baseline" $image "$source" > baseline.html
    cmp -s page.html baseline.html && same=yes || { same=NO; identical=no; }
  fi
  printf '%-26s %10.1f %12s  %s\n' "$name" "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')" "$over" "$same"
done

# Scaled pages hold the image and a few text lines, whatever the page's size.
scaled_peak() { /usr/bin/time -f %M "$program" "$@" x 2>&1 > /dev/null | awk '{ printf "%.1f", $1 / 1024 }'; }
dot_peak=$(scaled_peak --width 20000 dot.ppm)
wide_over=$(awk -v p="$(scaled_peak --width 2999 wide.ppm)" -v s="$(stat -c %s wide.ppm)" \
  'BEGIN { printf "%.1f", p - s / 1048576 }')
echo
printf '%-40s %10s\n' "scaled page" "peak MiB" \
  "--width 20000 of a 1 x 1 image" "$dot_peak" "--width 2999 of 3000 x 2000, over source" "$wide_over"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
floor=$(awk -v a="$(best floor.csv read)" -v b="$(best floor.csv cat)" 'BEGIN { print a + b }')
string=$(best times.csv "P6 photo: string")
all_met=yes
goal() {  # text, value, limit, at-least|at-most
  local met
  met=$(awk -v v="$2" -v l="$3" -v k="$4" 'BEGIN { print ((k == "at-least" ? v >= l : v <= l) ? "met" : "MISSED") }')
  [ "$met" = met ] || all_met=no
  printf '%-52s %8s  %s\n' "$1" "$2" "$met"
}
echo
goal "P6 photo speed-up over baseline (>= 10)" "$(ratio "$(best times.csv "P6 photo: string (baseline)")" "$string")" 10 at-least
goal "P6 photo time over floor (<= 2.5)" "$(ratio "$string" "$floor")" 2.5 at-most
goal "random letters over source string (<= 1.3)" "$(ratio "$(best times.csv "P6 photo: random letters")" "$string")" 1.3 at-most
goal "--html5 page over the default page (<= 1.2)" "$(ratio "$(best times.csv "P6 photo: --html5")" "$string")" 1.2 at-most
goal "UTF-8 string over ASCII string (<= 1.5)" "$(ratio "$(best times.csv "P6 photo: UTF-8 █")" "$string")" 1.5 at-most
goal "P3 photo time over P6 photo (<= 2.5)" "$(ratio "$(best times.csv "P3 photo: string")" "$string")" 2.5 at-most
goal "P3 photo speed-up over baseline (>= 4)" \
  "$(ratio "$(best times.csv "P3 photo: string (baseline)")" "$(best times.csv "P3 photo: string")")" 4 at-least
goal "peak memory over the pixel buffer, MiB (<= 12)" "$worst_over" 12 at-most
goal "camera photo: --width 250 over reading it (<= 1.5)" \
  "$(ratio "$(best times.csv "P6 camera 4224 x 3168: --width 250")" "$(best times.csv "P6 camera 4224 x 3168: read pixels")")" 1.5 at-most
goal "1 x 1 image at --width 20000: peak MiB (<= 64)" "$dot_peak" 64 at-most
goal "3000 x 2000 at --width 2999: MiB over it (<= 12)" "$wide_over" 12 at-most
for format in P6 P3; do
  goal "$format photo: - over a file (<= 1.1)" \
    "$(ratio "$(best stdin.csv "$format photo: -")" "$(best stdin.csv "$format photo: a file")")" 1.1 at-most
done
[ "$identical" = yes ] || all_met=no
printf '%-52s %8s  %s\n' "pages identical to the baseline" "$identical" "$([ "$identical" = yes ] && echo met || echo MISSED)"

# A camera's JPEG drawn directly, against jpegtopnm and jp2a.
echo
bash "$bench_dir/photo_bench.sh" "$program" . || all_met=no

# Peak memory of pictures much larger than their files; the camera photo's
# time against the program before (MOTTLEPAGE_BEFORE), when one is given.
bash "$bench_dir/memory_bench.sh" "$program" . "${MOTTLEPAGE_BEFORE:-}" || all_met=no
[ "$all_met" = yes ]
