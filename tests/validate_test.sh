#!/usr/bin/env bash
# The W3C Nu Html Checker finds no error and no warning, HTML or CSS, in
# --html5 pages of the example image: ASCII, markup and UTF-8 strings,
# random letters, a Latin-1 string, a title and a background that need care;
# strings and a title of characters HTML forbids in text or that break a
# line (controls, bytes Windows-1252 leaves undefined, C1 controls,
# noncharacters), which the page draws as U+FFFD; a --half-blocks page. A
# string with combining marks gets no error, and only the two warnings the
# README names: each character is a cell of its own, so a text run starts
# with a mark, or holds a letter and its mark undecomposed.
# Usage: validate_test.sh MOTTLEPAGE EXAMPLES_DIR VNU_JAR
set -euo pipefail
program=$1 examples=$2 vnu=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$program" --html5 "$examples/wheel.ppm" "mottlepage " > "$work/ascii.html"
"$program" --html5 "$examples/wheel.ppm" "<&>\"'" 20 20 40 > "$work/markup.html"
"$program" --html5 --width 90 "$examples/wheel.ppm" "█é🌹" > "$work/utf-8.html"
"$program" --html5 - < "$examples/wheel.ppm" > "$work/random.html"
"$program" --html5 --title $'<a & b>\x01\xff' "$examples/wheel.ppm" $'caf\xe9 ' 300 -1 7 > "$work/latin-1.html"
forbidden=($'\x01' $'\x7f' $'\x81\x8d\x8f\x90\x9d' $'\xc2\x80\xc2\x85\xc2\x9f' $'\xef\xb7\x90' $'\xef\xbf\xbf' $'\xf4\x8f\xbf\xbe' $'\t\n\r\f')
for i in "${!forbidden[@]}"; do
  "$program" --html5 --width 20 "$examples/wheel.ppm" "x${forbidden[i]}" > "$work/forbidden-$i.html"
done
"$program" --html5 --width 20 --title $'\xef\xbf\xbf\xf0\x9f\xbf\xbe\xef\xb7\xaf' "$examples/wheel.ppm" "█" > "$work/title.html"
"$program" --half-blocks --width 41 --title "<a & b>" "$examples/wheel.ppm" "" 300 -1 7 > "$work/half-blocks.html"
if ! java -jar "$vnu" --also-check-css "$work"/*.html > "$work/report" 2>&1 || [ -s "$work/report" ]; then
  cat "$work/report"
  echo "the checker found problems"
  exit 1
fi
"$program" --html5 --width 20 "$examples/wheel.ppm" $'e\xcc\x81' > "$work/combining.htm"
java -jar "$vnu" --also-check-css "$work/combining.htm" > "$work/report" 2>&1 || { cat "$work/report"; exit 1; }
sed -E 's/^"[^"]*":[0-9.-]*: //; s/ Should instead be .*//' "$work/report" | LC_ALL=C sort -u > "$work/kinds"
if ! printf '%s\n' 'info warning: Text run is not in Unicode Normalization Form C.' \
  'info warning: Text run starts with a composing character.' | cmp -s - "$work/kinds"; then
  cat "$work/report"
  echo "combining marks: the checker said other than the README"
  exit 1
fi
echo "$((7 + ${#forbidden[@]})) pages: no errors, no warnings; combining marks: the two warnings"
