#!/usr/bin/env bash
# Builds the launcher and shows it at work against local servers: a sample client folder (out/demo/client) with
# one file out of date, the reference directory/authorisation service with three regions on 127.0.0.1:33556 and
# nginx serving the update site on http://127.0.0.1/updates/ (port 80) whose manifest the generator made
# (tools/nginx_site.py writes its configuration, pid file and logs to out/demo/nginx/). With a display the
# launcher opens there and everything stops when you close it; without one it runs under a private Xvfb, is
# played through the region list, the update and a region choice, and the screenshots land in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The demo's servers need these very ports (the launcher's addresses are compiled in). What holds one is named;
# nothing of the machine's is stopped.
if ! python3 tools/port_holder.py --what "the demo" 33556 80; then
  echo "demo: free the port(s) above and try again" >&2
  exit 1
fi
bash scripts/build.sh i686

demo=$PWD/out/demo
rm -rf "$demo"
mkdir -p "$demo"
bin=$PWD/build/i686/bin
python3 tests/e2e/sample_client.py "$demo" "$bin" --big-file-kib 320

port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

source scripts/wine-session.sh
headless=0
[ -z "${DISPLAY:-}" ] && headless=1
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  vorn_wine_stop
}
trap stop_all EXIT

python3 tools/vorn_service.py --regions "$demo/regions.tsv" --auth-port 0 --auth-port 0 --log "$demo/service.log" &
pids+=($!)
# Every file goes out at 32 KiB a second, so the update label can be seen at work on the big one.
python3 tools/nginx_site.py "$demo/site" --prefix "$demo/nginx" --http 80 --rate 32768 --lifetime 3600 \
  --ready-file "$demo/site.ready" &
pids+=($!)
for _ in $(seq 1 100); do
  port_taken 33556 && [ -s "$demo/site.ready" ] && break
  sleep 0.1
done
port_taken 33556 || { echo "demo: the reference service did not start (see $demo/service.log)" >&2; exit 1; }
[ -s "$demo/site.ready" ] || { echo "demo: nginx did not start (see $demo/nginx/error.log)" >&2; exit 1; }

vorn_wine_start
if [ $headless = 0 ]; then
  echo "demo: the launcher runs on $DISPLAY; close it to stop the servers"
  wine "$demo/client/VornLauncher.exe" </dev/null
  exit 0
fi
python3 tests/e2e/demo_tour.py "$demo/client" "$bin/window_probe.exe" "$demo"
echo "client folder after the update: $demo/client"
