#!/usr/bin/env bash
# The scan of a 512 MiB old copy on disk through the block matcher under Wine, by the 64-bit test build and by the
# 32-bit release build (a 64-bit prefix runs it as Windows does), in one run: scan speed, bytes to fetch per case,
# peak working set. Usage: bench/block_scan_bench.sh [MIB] (default 512; needs 1.5 x MIB free in /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=block_scan_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null
VORN_BUILD_DIR=build/bench-i686 VORN_BUILD_TARGET=block_scan_bench \
  bash scripts/build.sh i686 -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCHMARKS=ON >/dev/null

work=$(mktemp -d /tmp/vorn-scan-bench.XXXXXX)
source scripts/wine-session.sh
trap 'vorn_wine_stop; rm -rf "$work"' EXIT
VORN_XVFB=1 vorn_wine_start
for build in build/bench build/bench-i686; do
  wine "$build/bin/block_scan_bench.exe" "Z:${work//\//\\}\\scan" "${1:-512}"
done
