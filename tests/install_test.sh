#!/usr/bin/env bash
# The manual renders without warnings, and an install puts the program and
# the manual in place, both naming the same version. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

command -v groff > /dev/null || { echo "skipped: groff missing, install groff-base"; exit 77; }
warnings=$(groff -man -Tutf8 -ww "$build/mottlepage.1" 2>&1 > /dev/null)
[ -z "$warnings" ] || { echo "manual warnings: $warnings"; exit 1; }

cmake --install "$build" --prefix "$prefix" > /dev/null
[ -x "$prefix/bin/mottlepage" ] || { echo "bin/mottlepage not installed"; exit 1; }
cmp -s "$build/mottlepage.1" "$prefix/share/man/man1/mottlepage.1" || { echo "manual not installed"; exit 1; }
version=$("$prefix/bin/mottlepage" --version)
grep -q "^\.TH MOTTLEPAGE 1 .* \"$version\" " "$prefix/share/man/man1/mottlepage.1" ||
  { echo "the manual's header does not name $version"; exit 1; }
# The HEIF decoder module, when built, is installed and found beside the
# program (a build tree's own is not looked at first).
if [ -f "$build/mottlepage-heif.so" ]; then
  [ -n "$(find "$prefix" -path "*/mottlepage/mottlepage-heif.so")" ] || { echo "the HEIF module is not installed"; exit 1; }
fi
help=$("$prefix/bin/mottlepage" --help)
[[ $help == *"see mottlepage(1)"* ]] || { echo "help does not point to the manual"; exit 1; }
echo "1 passed, 0 failed"
