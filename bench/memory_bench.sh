#!/usr/bin/env bash
# Benchmark: peak memory (GNU time -f %M) of pictures drawn 100 characters
# wide whose pixels dwarf their files (made by memory_images.py: a GIF
# screen and a WebP canvas around a 1 x 1 frame, a flat PNG at deflate's
# utmost, a 65535 x 65535 GIF of one colour and a WebP canvas of that size
# around a 1 x 1 frame), of 12-megapixel noise PNGs with and
# without gAMA, and of a JPEG signature followed by 400 MB of zeros on
# standard input; then the time of the camera photo (make_camera.sh) as
# JPEG and PNG drawn 250 characters wide against the program before, when
# one is given. Each run has ulimit -v 2 GiB, so that a decoder that holds
# the whole picture is refused (the not-enough-memory reason) rather than
# taking the machine's memory. Says whether each goal holds.
# Usage: memory_bench.sh MOTTLEPAGE WORK_DIR [BEFORE]   (run_bench.sh calls it)
set -euo pipefail
program=$(realpath "$1") work=$2 before=${3:-}
for tool in hyperfine /usr/bin/time python3 convert; do
  command -v "$tool" > /dev/null || { echo "$tool missing: apt-get install hyperfine time python3 imagemagick"; exit 2; }
done
bench_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cd "$work"
[ -f noise-gama.png ] || { echo "making the memory benchmark's pictures in $work"; python3 "$bench_dir/memory_images.py" .; }
bash "$bench_dir/make_camera.sh" .

LIMIT_KIB=2097152
# name | input ('-' for the zeros) | goal, MiB | the outcome wanted
rows=(
  "GIF: 30000 x 30000 screen, 1 x 1 frame|gif-screen.gif|64|page"
  "WebP: 16384 x 16384 canvas, 1 x 1 frame|webp-canvas.webp|64|page"
  "PNG: 20000 x 20000 of one colour|flat.png|64|page"
  "GIF: 65535 x 65535 of one colour|gif-max.gif|64|page"
  "WebP: 65535 x 65535 canvas, 1 x 1 frame|webp-max.webp|64|page"
  "PNG: 4000 x 3000 noise|noise.png|48|page"
  "PNG: 4000 x 3000 noise, gAMA 1.0|noise-gama.png|48|page"
  "JPEG signature, 400 MB of zeros on -|-|48|reason"
)
# Runs one row; sets peak_mib and outcome (page, reason, no memory, signal N).
run_row() {
  local command="ulimit -v $LIMIT_KIB; exec /usr/bin/time -f %M -o time.txt \"\$0\" --width 100 \"\$1\" x"
  local status=0
  if [ "$1" = - ]; then
    (printf '\xff\xd8\xff'; head -c 400000000 /dev/zero) | sh -c "$command" "$program" - > page.html 2> err.txt || status=$?
  else
    sh -c "$command" "$program" "$1" > page.html 2> err.txt || status=$?
  fi
  peak_mib=$(tail -n 1 time.txt | awk '{ printf "%.1f", $1 / 1024 }')
  case $status in
    0) outcome=page ;;
    1) grep -q 'not enough memory' err.txt && outcome="no memory" || outcome=reason ;;
    *) outcome="status $status" ;;
  esac
}

all_met=yes
echo
printf '%-50s %10s %9s %5s  %-10s %s\n' picture "file" "peak MiB" goal outcome ""
for row in "${rows[@]}"; do
  IFS='|' read -r name input goal wanted <<< "$row"
  run_row "$input"
  size="400 MB"
  [ "$input" = - ] || size=$(stat -c %s "$input" | awk '{ if ($1 < 10000) printf "%d B", $1; else printf "%.1f MB", $1 / 1e6 }')
  met=$(awk -v p="$peak_mib" -v g="$goal" 'BEGIN { print (p <= g ? "met" : "MISSED") }')
  [ "$outcome" = "$wanted" ] || met=MISSED
  [ "$met" = met ] || all_met=no
  printf '%-50s %10s %9s %5s  %-10s %s\n' "$name" "$size" "$peak_mib" "$goal" "$outcome" "$met"
done

if [ -n "$before" ]; then
  # Best runs: a busy machine slows some runs of either program by several
  # times, never speeds one up.
  hyperfine -N --warmup 3 --runs 30 --style basic --export-markdown before.md --export-csv before.csv \
    -n "camera JPEG: mottlepage" "$program --width 250 camera.jpg x" \
    -n "camera JPEG: before" "$before --width 250 camera.jpg x" \
    -n "camera PNG: mottlepage" "$program --width 250 camera.png x" \
    -n "camera PNG: before" "$before --width 250 camera.png x" > /dev/null
  echo
  cat before.md
  echo
  best() { awk -F, -v name="$1" '$1 == name { print $7 }' before.csv; }
  for format in JPEG PNG; do
    ratio=$(awk -v a="$(best "camera $format: mottlepage")" -v b="$(best "camera $format: before")" \
      'BEGIN { printf "%.2f", a / b }')
    met=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.1 ? "met" : "MISSED") }')
    [ "$met" = met ] || all_met=no
    printf '%-58s %8s  %s\n' "camera $format to 250 wide over the program before (<= 1.1)" "$ratio" "$met"
  done
else
  echo
  echo "no program before given (MOTTLEPAGE_BEFORE): the camera photo's times are not compared"
fi
[ "$all_met" = yes ]
