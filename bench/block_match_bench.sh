#!/usr/bin/env bash
# What block reuse fetches per block size (2 to 32 KiB) for the cases of the block index, and the matcher's scan
# speed, built natively (the matcher is plain C++); then the weak sum's false matches on random bytes and on real
# data (the machine's shared libraries, 256 MiB of them). Usage: bench/block_match_bench.sh [MIB] (default 512;
# needs about 3 x MIB of memory).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S bench/native -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-native --parallel 2 --target block_match_bench >/dev/null
corpus=$(mktemp /tmp/vorn-block-corpus.XXXXXX)
trap 'rm -f "$corpus"' EXIT
find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f -print0 | sort -z | xargs -0 cat 2>/dev/null |
  head -c $((256 << 20)) >"$corpus" || true
build/bench-native/block_match_bench "${1:-512}" "$corpus"
