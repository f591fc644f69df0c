# Sourced (from the repository's root) by the benchmarks that update a client folder from bench/bench_site.py
# under Wine: `bench_site_prepare NAME` builds update_bench.exe and makes the work folder $work; everything is
# removed and stopped on exit. `bench_site_start [OPTION ...]` serves $work/site with those bench_site.py options
# (its log in $work/site.log), sets $base to its address and starts the Wine session.

bench_site_prepare() {
  VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=update_bench \
    bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null
  work=$(mktemp -d "/tmp/vorn-$1-bench.XXXXXX")
  site_pid=""
  source scripts/wine-session.sh
  trap bench_site_cleanup EXIT
  mkdir -p "$work/site"
}

bench_site_cleanup() {
  if [ -n "$site_pid" ]; then
    kill "$site_pid" 2>/dev/null || true
    wait "$site_pid" 2>/dev/null || true
  fi
  vorn_wine_stop
  rm -rf "$work"
}

bench_site_start() {
  python3 bench/bench_site.py "$work/site" --port-file "$work/port" --lifetime 1800 --log "$work/site.log" "$@" \
    >/dev/null &
  site_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  base=http://127.0.0.1:$(cat "$work/port")
  VORN_XVFB=1 vorn_wine_start
}
