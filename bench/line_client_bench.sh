#!/usr/bin/env bash
# SendLineRequest on loopback under Wine: a nine-region LIST exchange, then peers that never stop sending (the
# reply cap ends each exchange; the peak working set stays flat however many run).
# Usage: bench/line_client_bench.sh [EXCHANGES [ENDLESS_RUNS]] (default 2000, 20).
set -euo pipefail
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=line_client_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null
source scripts/wine-session.sh
trap vorn_wine_stop EXIT
VORN_XVFB=1 vorn_wine_start
wine build/bench/bin/line_client_bench.exe "${1:-2000}" "${2:-20}"
