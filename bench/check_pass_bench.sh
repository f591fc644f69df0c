#!/usr/bin/env bash
# The check pass of ApplyClientUpdate against a plain read of the same files and against the quick check (the
# record of verified files, one listing per folder), over FILES up-to-date files, for each TOTAL_MIB given: first
# with the files in the page cache, then cold, the cache emptied before each round (as root:
# echo 3 > /proc/sys/vm/drop_caches; without root the cold rounds are left out). One run of the program per cold
# round. Usage: bench/check_pass_bench.sh [FILES [TOTAL_MIB ...]] (default 20000 files, 1024 and 4096 MiB;
# needs the largest size free in /tmp, removed afterwards). The site is served on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-20000}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1024 4096)
cold_rounds=3
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=check_pass_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null

work=$(mktemp -d /tmp/vorn-check-bench.XXXXXX)
source scripts/wine-session.sh
trap 'vorn_wine_stop; rm -rf "$work"' EXIT
VORN_XVFB=1 vorn_wine_start
bench=build/bench/bin/check_pass_bench.exe
for mib in "${sizes[@]}"; do
  folder="Z:${work//\//\\}\\run$mib"
  echo "== $files files, $mib MiB"
  wine "$bench" make "$folder" "$files" "$mib"
  wine "$bench" cached "$folder"
  if [ -w /proc/sys/vm/drop_caches ]; then
    results=$work/cold$mib
    for round in $(seq 1 $cold_rounds); do
      for what in read update quick; do
        sync
        echo 3 >/proc/sys/vm/drop_caches
        wine "$bench" cold "$what" "$folder" | tr -d '\r' | tee -a "$results"
      done
    done
    awk -v mib="$mib" '
      { if (!($2 in best) || $3 < best[$2]) best[$2] = $3 }
      END {
        printf "cold, best of %d (%s MiB): plain read %.3f s, check pass %.3f s, quick check %.3f s; ", NR / 3, mib,
               best["read"], best["update"], best["quick"]
        printf "quick check / check pass = %.3f\n", best["quick"] / best["update"]
      }' "$results"
  else
    echo "cold rounds left out: emptying the page cache needs root"
  fi
  rm -rf "${work:?}/run$mib"
done
