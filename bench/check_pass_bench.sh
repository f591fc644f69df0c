#!/usr/bin/env bash
# The check pass of ApplyClientUpdate over FILES current files (TOTAL_MIB in all) against a plain read of the
# same files, in one run under Wine. Usage: bench/check_pass_bench.sh [FILES [TOTAL_MIB]] (default 20000, 1024;
# needs TOTAL_MIB of free space in /tmp, removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-20000}
mib=${2:-1024}
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=check_pass_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null

work=$(mktemp -d /tmp/vorn-check-bench.XXXXXX)
source scripts/wine-session.sh
trap 'vorn_wine_stop; rm -rf "$work"' EXIT
VORN_XVFB=1 vorn_wine_start
wine build/bench/bin/check_pass_bench.exe "Z:${work//\//\\}\\run" "$files" "$mib"
