# Sourced by the benchmarks that fetch from tools/update_site.py: a work folder in $work, removed at exit with
# the site and the Wine session. `bench_start_site [update_site.py options]` serves $work/site on 127.0.0.1,
# sets $base to its address and starts the Wine session.
work=$(mktemp -d /tmp/vorn-bench.XXXXXX)
site_pid=""
source scripts/wine-session.sh
bench_cleanup() {
  rm -rf "$work"
  if [ -n "$site_pid" ]; then
    kill "$site_pid" 2>/dev/null || true
    wait "$site_pid" 2>/dev/null || true
  fi
  vorn_wine_stop
}
trap bench_cleanup EXIT

bench_start_site() {
  python3 tools/update_site.py "$work/site" --port-file "$work/port" --lifetime 900 "$@" >/dev/null 2>&1 &
  site_pid=$!
  for _ in $(seq 1 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  base=http://127.0.0.1:$(cat "$work/port")
  VORN_XVFB=1 vorn_wine_start
}
