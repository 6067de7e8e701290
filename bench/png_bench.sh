#!/usr/bin/env bash
# Benchmark: PNG pictures whose memory must follow the page, not the
# picture. Peak memory by GNU time for a flat 20000 x 20000 PNG (1.2 MB), a
# 12000 x 12000 PNG of noise stored uncompressed (432 MB) drawn 100
# characters wide, and a 4000 x 3000 noise PNG with and without gAMA drawn
# 250 wide; the time of a 12-megapixel PNG drawn 250 wide by hyperfine,
# beside an earlier build's when one is given.
# Usage: png_bench.sh MOTTLEPAGE WORK_DIR [EARLIER_MOTTLEPAGE]
set -euo pipefail
program=$(realpath "$1") work=$2 earlier=${3:+$(realpath "$3")}
for tool in hyperfine /usr/bin/time python3; do
  command -v "$tool" > /dev/null || { echo "$tool missing: apt-get install hyperfine time python3"; exit 2; }
done
mkdir -p "$work"
cd "$work"
if ! [ -f photo.png ]; then
  echo "making the PNG pictures in $work (a minute)"
  python3 - <<'PYTHON'
import os, random, struct, zlib

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

def write(name, width, height, make_row, level, extra=b""):
    with open(name, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) + extra)
        stream = zlib.compressobj(level)
        data = b""
        for y in range(height):
            data += stream.compress(b"\0" + make_row(y))
            if len(data) >= 1 << 20:
                file.write(chunk(b"IDAT", data))
                data = b""
        file.write(chunk(b"IDAT", data + stream.flush()) + chunk(b"IEND", b""))

flat = bytes([40, 90, 160]) * 20000
write("flat.png", 20000, 20000, lambda y: flat, 9)
write("stored.png", 12000, 12000, lambda y: os.urandom(36000), 0)
sixteen = bytes.maketrans(bytes(range(256)), bytes(i % 16 * 16 for i in range(256)))
noise = [os.urandom(12000).translate(sixteen) for y in range(3000)]
write("noise.png", 4000, 3000, lambda y: noise[y], 6)
write("noise-gama.png", 4000, 3000, lambda y: noise[y], 6, chunk(b"gAMA", struct.pack(">I", 45455)))
# A photo's smooth light and fine noise, 4272 x 2848.
random.seed(7)
ramp = [bytes((x * 255 // 4271 + random.randrange(-6, 7)) % 256 for x in range(4272 * 3)) for y in range(64)]
write("photo.png", 4272, 2848, lambda y: bytes(v ^ (y * 255 // 2847) & 0xC0 for v in ramp[y % 64]), 6)
PYTHON
fi
ls -l flat.png stored.png noise.png noise-gama.png photo.png | awk '{ printf "%-16s %10.1f MB\n", $NF, $5 / 1e6 }'

all_met=yes
for row in "flat.png 100" "stored.png 100" "noise.png 250" "noise-gama.png 250" "photo.png 250"; do
  read -r image width <<< "$row"
  peak_kib=$(/usr/bin/time -f %M "$program" --width "$width" "$image" x 2>&1 > page.html)
  met=$(awk -v k="$peak_kib" 'BEGIN { print (k <= 48 * 1024 ? "met" : "MISSED") }')
  [ "$met" = met ] || all_met=no
  printf '%-16s --width %-4s peak %7.1f MiB (<= 48)  %s\n' "$image" "$width" "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')" "$met"
done
if [ -n "$earlier" ]; then
  hyperfine -N --warmup 2 --runs 10 --style basic -n "this build" "$program --width 250 photo.png x" \
    -n "earlier build" "$earlier --width 250 photo.png x"
fi
[ "$all_met" = yes ]
