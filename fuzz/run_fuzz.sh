#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for SECONDS (default 60)
# on a copy of the seed corpus. Findings land in build-fuzz/.
# Usage: fuzz/run_fuzz.sh [SECONDS] [extra libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DMOTTLEPAGE_FUZZ=ON -DMOTTLEPAGE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build-fuzz -j2 --target fuzz_loader
mkdir -p build-fuzz/corpus build-fuzz/findings
cp -n fuzz/corpus/* build-fuzz/corpus/ 2> /dev/null || true
cd build-fuzz
LSAN_OPTIONS="suppressions=$(pwd)/../fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" ./fuzz/fuzz_loader -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=findings/ -print_final_stats=1 "$@" corpus
