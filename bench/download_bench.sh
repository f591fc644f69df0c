#!/usr/bin/env bash
# DownloadToFile against curl, in one run: both fetch the same file from tools/update_site.py on 127.0.0.1,
# twice each, alternating; then a file an eighth of the size, to show that the peak working set does not grow
# with the file. Usage: bench/download_bench.sh [SIZE_MIB] (default 512; needs about 3.2 x SIZE free in /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-512}
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=download_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null

source bench/site_session.sh

mkdir "$work/site"
head -c $((size << 20)) /dev/urandom >"$work/site/big.bin"
head -c $((size << 17)) "$work/site/big.bin" >"$work/site/small.bin"
bench_start_site

fetch_curl() {
  /usr/bin/time -f "%e %M" -o "$work/time" curl -sS -o "$work/curl.bin" "$base/$1"
  read -r seconds kib <"$work/time"
  bytes=$(stat -c %s "$work/curl.bin")
  awk -v b="$bytes" -v s="$seconds" -v k="$kib" \
    'BEGIN { printf "curl:           %d bytes in %.3f s = %.1f MiB/s; peak resident %.1f MiB\n", b, s, b / 1048576 / s, k / 1024 }'
  rm -f "$work/curl.bin"
}
fetch_wine() {
  wine build/bench/bin/download_bench.exe "$base/$1" "Z:${work//\//\\}\\wine.bin"
  cmp -s "$work/wine.bin" "$work/site/$1" || { echo "download differs from the site's file" >&2; exit 1; }
  rm -f "$work/wine.bin"
}

echo "== $size MiB"
for round in 1 2; do
  fetch_curl big.bin
  fetch_wine big.bin
done
echo "== $((size / 8)) MiB (memory does not grow with the file)"
fetch_wine small.bin
