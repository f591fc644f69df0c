#!/usr/bin/env bash
# ParseManifest on a 100000-entry manifest against the per-key GetPrivateProfileStringW way on a 20000-entry one,
# in one run under Wine. Usage: bench/manifest_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=manifest_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null

source scripts/wine-session.sh
trap vorn_wine_stop EXIT
VORN_XVFB=1 vorn_wine_start
wine build/bench/bin/manifest_bench.exe
