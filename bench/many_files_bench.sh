#!/usr/bin/env bash
# The launcher's update transaction against curl over many small files from a site that answers every request
# after a pause (a stand-in for a distant server), in one run: an update of an empty client folder from
# bench/bench_site.py, curl fetching the same manifest and files with 8 parallel connections, and curl fetching
# them one after another on one kept-alive connection; three rounds, alternating. Reports the best of each and
# the ratios. The launcher also updates from the same site signed (tools/sign_release.py), with its update key:
# the cost of the SHA-256 of every download against the CRC-32 alone, as a ratio; and with 6 connections instead
# of its setting (8, as many as curl's), to show what the number of answers awaited at once is worth.
# Usage: bench/many_files_bench.sh [FILES [KIB [DELAY_MS]]] (default 500 files of 16 KiB, 20 ms).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
files=${1:-500}
kib=${2:-16}
delay=${3:-20}
source bench/bench_site.sh
bench_site_prepare many-files
for i in $(seq 0 $((files - 1))); do
  mkdir -p "$work/site/Data/Dir$((i / 100))"
  head -c $((kib << 10)) /dev/urandom >"$work/site/Data/Dir$((i / 100))/file$i.bin"
done
python3 tools/make_manifest.py "$work/site" >/dev/null
key=$(python3 tools/sign_release.py keygen "$work/key.pem")
python3 tools/sign_release.py sign "$work/site" --key "$work/key.pem" --release 1 >/dev/null
bench_site_start --delay "$delay"

# curl reads its transfers from a config file: the manifest first, then every file, each to its own output.
{
  echo "url = \"$base/up.ini\""
  echo "output = \"$work/curl/up.ini\""
  (cd "$work/site" && find Data -type f | sort) | while read -r relative; do
    echo "url = \"$base/$relative\""
    echo "output = \"$work/curl/$relative\""
  done
} >"$work/curl.config"

now() { date +%s.%N; }
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 < b + 0) ? a : b }'; }
# Every file of the site in place under $1, byte for byte.
check_copy() {
  diff -rq --exclude='up.ini*' --exclude=.vorn-release "$work/site" "$1" >/dev/null || { echo "$2: the files differ from the site's" >&2; exit 1; }
}
run_curl() {
  rm -rf "$work/curl"
  local start end
  start=$(now)
  curl -sS --no-progress-meter --fail --create-dirs "$@" --config "$work/curl.config"
  end=$(now)
  check_copy "$work/curl" "curl $*"
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
run_launcher() {
  rm -rf "$work/client"
  mkdir "$work/client"
  local line
  line=$(wine build/bench/bin/update_bench.exe "$base/" up.ini "Z:${work//\//\\}\\client" "$@")
  echo "$line" >&2
  check_copy "$work/client" "the launcher"
  sed -n 's/^update: succeeded in \([0-9.]*\) s.*/\1/p' <<<"$line"
}

echo "== $files files of $kib KiB, $delay ms before every answer; load: $(uptime | sed 's/.*load average/load average/')"
best_launcher=1e9 best_parallel=1e9 best_single=1e9 best_signed=1e9 best_six=1e9
for round in 1 2 3; do
  parallel=$(run_curl --parallel --parallel-max 8)
  single=$(run_curl)
  launcher=$(run_launcher)
  signed=$(run_launcher "$key")
  six=$(run_launcher "" 6)
  printf 'round %d: launcher %.3f s (signed %.3f s, 6 connections %.3f s), curl with 8 connections %.3f s, curl on one connection %.3f s\n' \
    "$round" "$launcher" "$signed" "$six" "$parallel" "$single"
  best_six=$(least "$six" "$best_six")
  best_signed=$(least "$signed" "$best_signed")
  best_launcher=$(least "$launcher" "$best_launcher")
  best_parallel=$(least "$parallel" "$best_parallel")
  best_single=$(least "$single" "$best_single")
done
requests=$(grep -c '"method": "GET"' "$work/site.log")
# The launcher's requests and the connections (client ports) they came over.
python3 - "$work/site.log" <<'EOF'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
mine = [r for r in records if (r.get("agent") or "").startswith("VornLauncher")]
print("launcher: %d GETs over %d connections" % (len(mine), len({r["peer"] for r in mine})))
EOF
awk -v l="$best_launcher" -v p="$best_parallel" -v s="$best_single" -v r="$requests" 'BEGIN {
  printf "best: launcher %.3f s, curl-8 %.3f s, curl-1 %.3f s; launcher / curl-8 = %.2f, launcher / curl-1 = %.2f (%d GETs in all)\n",
    l, p, s, l / p, l / s, r }'
awk -v e="$best_six" -v p="$best_parallel" 'BEGIN {
  printf "6 connections: launcher %.3f s; launcher with 6 connections / curl-8 = %.2f\n", e, e / p }'
awk -v l="$best_launcher" -v g="$best_signed" 'BEGIN {
  printf "signed: launcher with SHA-256 %.3f s, with CRC-32 only %.3f s; signed / CRC-32 only = %.2f\n", g, l, g / l }'
echo "load after: $(uptime | sed 's/.*load average/load average/')"
