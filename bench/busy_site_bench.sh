#!/usr/bin/env bash
# What a site's limit on the requests of one client costs an update. FILES files of 64 KiB, each answer paced by
# nginx (tools/nginx_site.py --rate 32768: a second's worth at once, then the rest, so about a second a file, as a
# far site or a slow line gives), are downloaded into an empty client folder by the launcher's update with its
# 8 connections, from nginx without a limit, with limit_conn 2 (the rest refused with 503) and with limit_conn 1
# (refused with 429 and Retry-After: 1); two rounds, alternating. Reported per run: the time, the refusals nginx
# logged; then the best time of each limit as a ratio of the unlimited one.
# Usage: bench/busy_site_bench.sh [FILES] (default 48).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
files=${1:-48}
source bench/bench_site.sh
bench_site_prepare busy-site
for i in $(seq 0 $((files - 1))); do
  head -c $((64 << 10)) /dev/urandom >"$work/site/file$i.bin"
done
python3 tools/make_manifest.py "$work/site" >/dev/null
VORN_XVFB=1 vorn_wine_start

# update NAME [nginx_site.py option ...]: one update of an empty client from nginx with those options; prints
# the seconds it took.
update() {
  local name=$1 port line
  shift
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  rm -rf "$work/nginx" "$work/ready" "$work/client"
  mkdir "$work/client"
  python3 tools/nginx_site.py "$work/site" --prefix "$work/nginx" --http "$port" --lifetime 600 \
    --ready-file "$work/ready" --rate 32768 "$@" >/dev/null &
  site_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
  line=$(wine build/bench/bin/update_bench.exe "http://127.0.0.1:$port/" up.ini "Z:${work//\//\\}\\client")
  kill "$site_pid"
  wait "$site_pid" || true
  site_pid=""
  diff -rq --exclude='up.ini*' "$work/site" "$work/client" >/dev/null || { echo "$name: the files differ" >&2; exit 1; }
  printf '  %s: %s; nginx refused %d requests\n' "$name" "$line" \
    "$(awk '$2 == 503 || $2 == 429' "$work/nginx/transfers.log" | wc -l)" >&2
  sed -n 's/^update: succeeded in \([0-9.]*\) s.*/\1/p' <<<"$line"
}
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 < b + 0) ? a : b }'; }

echo "== $files files of 64 KiB, about a second each; load: $(uptime | sed 's/.*load average/load average/')"
free=1e9 two=1e9 one=1e9
for round in 1 2; do
  echo "round $round"
  free=$(least "$(update "no limit")" "$free")
  two=$(least "$(update "limit_conn 2, 503" --limit-conn 2)" "$two")
  one=$(least "$(update "limit_conn 1, 429 with Retry-After: 1" --limit-conn 1 --limit-status 429 --retry-after 1)" "$one")
done
awk -v f="$free" -v t="$two" -v o="$one" 'BEGIN {
  printf "best: no limit %.3f s, limit 2 %.3f s (%.2f x), limit 1 %.3f s (%.2f x)\n", f, t, t / f, o, o / f }'
echo "load after: $(uptime | sed 's/.*load average/load average/')"
