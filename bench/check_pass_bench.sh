#!/usr/bin/env bash
# The update call over FILES up-to-date files, three ways (every file read: the quick check off; the quick check
# with a settled record; a first start without a record), against a plain read of the same files, for each
# TOTAL_MIB given: first with the files in the page cache, then cold, the cache emptied before each round (as root:
# echo 3 > /proc/sys/vm/drop_caches; without root the cold rounds are left out). One run of the program per cold
# round, the order of the calls turned round every other round; cold figures are the median of the rounds: a cold
# read's time moves by 10% from round to round on a virtual disk, and the best of a few would set one measure's
# lucky round against another's ordinary one.
# Usage: bench/check_pass_bench.sh [FILES [TOTAL_MIB ...]] (default 20000 files, 1024 and 4096 MiB; needs the
# largest size free in /tmp, removed afterwards). The site is served on 127.0.0.1. It measures the build
# players run, the 32-bit one; VORN_BENCH_TARGET=x86_64 measures the other.
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-20000}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1024 4096)
target=${VORN_BENCH_TARGET:-i686}
cold_rounds=6
VORN_BUILD_DIR=build/bench-$target VORN_BUILD_TARGET=check_pass_bench \
  bash scripts/build.sh "$target" -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCHMARKS=ON >/dev/null

work=$(mktemp -d /tmp/vorn-check-bench.XXXXXX)
source scripts/wine-session.sh
trap 'vorn_wine_stop; rm -rf "$work"' EXIT
VORN_XVFB=1 vorn_wine_start
bench=build/bench-$target/bin/check_pass_bench.exe
echo "target: $target"
for mib in "${sizes[@]}"; do
  folder="Z:${work//\//\\}\\run$mib"
  echo "== $files files, $mib MiB"
  wine "$bench" make "$folder" "$files" "$mib"
  wine "$bench" cached "$folder"
  if [ -w /proc/sys/vm/drop_caches ]; then
    results=$work/cold$mib
    for round in $(seq 1 $cold_rounds); do
      # Every other round runs the other way round: on this virtual disk the same two calls swap which is the
      # faster when their order is swapped. A quick pass finds the record of the cached rounds or of a first start.
      order="read full quick first"
      [ $((round % 2)) = 1 ] || order="first quick full read"
      for what in $order; do
        sync
        echo 3 >/proc/sys/vm/drop_caches
        wine "$bench" cold "$what" "$folder" | tr -d '\r' | tee -a "$results"
      done
    done
    # The part before the check pass is the same work in every call: the full call's is taken from each.
    awk -v mib="$mib" '
      function median(list,    n, v, i, j, t) {
        n = split(list, v, " ")
        for (i = 2; i <= n; i++)
          for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      }
      { times[$2] = times[$2] " " $3 }
      $2 == "full" { befores = befores " " $4 }
      END {
        before = median(befores)
        read = median(times["read"]); fullCall = median(times["full"])
        quickCall = median(times["quick"]); firstCall = median(times["first"])
        full = fullCall - before; quick = quickCall - before; first = firstCall - before
        printf "cold, median of %d (%s MiB): plain read %.3f s; ", NR / 4, mib, read
        printf "whole call: full %.3f s (before the check pass %.3f s), ", fullCall, before
        printf "quick %.3f s, first start %.3f s; check pass: full %.3f s, quick %.3f s, first start %.3f s; ",
               quickCall, firstCall, full, quick, first
        printf "quick / full = %.3f (whole call %.3f), first start / full = %.3f\n", quick / full,
               quickCall / fullCall, first / full
      }' "$results"
  else
    echo "cold rounds left out: emptying the page cache needs root"
  fi
  rm -rf "${work:?}/run$mib"
done
