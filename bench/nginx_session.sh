# Sourced by the benchmarks that fetch from the project's nginx: a work folder in $work, removed at exit with the
# sites and the Wine session. `serve NAME [nginx_site.py option ...]` serves $work/site with nginx on a free port,
# its prefix $work/NAME, and sets $port to it.
work=$(mktemp -d /tmp/vorn-bench.XXXXXX)
site_pids=()
source scripts/wine-session.sh
cleanup() {
  local pid
  for pid in "${site_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  vorn_wine_stop
  rm -rf "$work"
}
trap cleanup EXIT

serve() {
  local name=$1
  shift
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  python3 tools/nginx_site.py "$work/site" --prefix "$work/$name" --http "$port" --lifetime 3600 \
    --ready-file "$work/$name.ready" "$@" >/dev/null &
  site_pids+=($!)
  for _ in $(seq 1 100); do [ -s "$work/$name.ready" ] && break; sleep 0.1; done
}
