#!/usr/bin/env bash
# CRC-32 throughput of ours (both paths) against zlib's crc32 and a plain slicing-by-8 over one 256 MiB buffer,
# built natively for this machine (the checksum code is plain C++). Usage: bench/crc32_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S bench/native -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-native --parallel 2 >/dev/null
build/bench-native/crc32_bench
