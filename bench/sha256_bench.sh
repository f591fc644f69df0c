#!/usr/bin/env bash
# SHA-256 through the system's CNG beside CRC-32 over the same bytes, as a signed update checks its downloads,
# in one run under Wine. Usage: bench/sha256_bench.sh [TOTAL_MIB [FILES]] (default 256, 20000).
set -euo pipefail
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=sha256_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null
source scripts/wine-session.sh
trap vorn_wine_stop EXIT
VORN_XVFB=1 vorn_wine_start
wine build/bench/bin/sha256_bench.exe "${1:-256}" "${2:-20000}"
