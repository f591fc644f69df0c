#!/usr/bin/env bash
# Files larger than one HTTP reply of Wine's WinHTTP can carry (2 GiB), served by nginx (tools/nginx_site.py) and
# downloaded by the 32-bit build's DownloadToFile under Wine, in a 64-bit prefix as 64-bit Windows runs 32-bit
# programs. On the site the files are sparse (a mebibyte of random bytes every 256 MiB, and around the 2 GiB and
# 4 GiB marks, zeros between); the client's copy is real bytes. The runs:
#   1. 4.5 GiB, 8 connections as an update downloads: once the part that crosses 4 GiB has written past
#      4 GiB + 64 MiB, nginx's worker is killed, which cuts every connection; each part must continue with a range;
#   2. 4.5 GiB, 1 connection, uncut: the parts one after another (on the loopback the machine's processors, not the
#      connections, bound the speed);
#   3. 512 MiB from a second nginx that sends each answer at 16 MiB/s at most, as a site far away or one that paces
#      its connections does: 8 connections against 1;
#   4. 8 TiB (sparse), more than any disk here holds: the download must stop at once naming its size.
# Reported: time, throughput, the peak working set and the soundness of the progress reports (download_bench.exe),
# the answers nginx logged with their ranges, the bytes of loopback traffic as a ratio of the file (meaningful when
# the run has the loopback to itself, as in a network namespace of its own), and whether the copy equals the
# site's file. Usage: bench/large_file_bench.sh (needs about 4.6 GiB free in /tmp).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench-i686 VORN_BUILD_TARGET=download_bench \
  bash scripts/build.sh i686 -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCHMARKS=ON >/dev/null

size=4831838208
source bench/nginx_session.sh

mkdir "$work/site"
python3 - "$work/site" "$size" <<'EOF'
import os, sys
folder, size = sys.argv[1], int(sys.argv[2])
for name, length in (("big.bin", size), ("paced.bin", 512 << 20)):
    with open(os.path.join(folder, name), "wb") as sparse:
        sparse.truncate(length)
        marks = set(range(0, length, 256 << 20)) | {length - (1 << 20)}
        if length > 4 << 30:
            marks |= {(2 << 30) - 4096, (4 << 30) - 4096}
        for mark in sorted(marks):
            sparse.seek(mark)
            sparse.write(os.urandom(min(1 << 20, length - mark)))
with open(os.path.join(folder, "huge.bin"), "wb") as huge:
    huge.truncate(8 << 40)
EOF

serve paced --rate $((16 << 20))
paced_port=$port
serve nginx
master=$(cat "$work/nginx.ready")
VORN_XVFB=1 vorn_wine_start
windows_work="Z:${work//\//\\}"
loopback() { cat /sys/class/net/lo/statistics/tx_bytes; }

# Kills nginx's worker (the master starts another) once the client's copy has grown past MARK bytes: the copy only
# grows that far when the part that crosses the mark has written there.
cut_past() {
  python3 - "$work/client.bin" "$master" "$1" <<'EOF' &
import os, signal, sys, time
path, master, mark = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
deadline = time.monotonic() + 900
while time.monotonic() < deadline:
    if os.path.exists(path) and os.path.getsize(path) > mark:
        with open("/proc/%d/task/%d/children" % (master, master)) as children:
            for worker in children.read().split():
                os.kill(int(worker), signal.SIGKILL)
        print("  cut: nginx's worker killed with the copy at %d bytes" % os.path.getsize(path))
        break
    time.sleep(0.05)
EOF
  cutter=$!
}

# run TITLE CONNECTIONS [SITE PORT FILE BYTES]: one download into $work/client.bin, and what the site logged.
run() {
  local title=$1 connections=$2 name=${3:-nginx} at=${4:-$port} file=${5:-big.bin} bytes=${6:-$size} before
  : >"$work/$name/transfers.log"
  before=$(loopback)
  echo "== $title; load: $(uptime | sed 's/.*load average/load average/')"
  wine build/bench-i686/bin/download_bench.exe "http://127.0.0.1:$at/$file" "$windows_work\\client.bin" \
    "$connections" || echo "  the download failed"
  python3 - "$work/$name/transfers.log" "$(( $(loopback) - before ))" "$bytes" <<'EOF'
import sys
log, wire, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
answers = [line.split(" ", 4) for line in open(log).read().splitlines()]
for time, status, sent, asked, _ in answers:
    print("  %s %s bytes for range %s" % (status, sent, asked))
body = sum(int(answer[2]) for answer in answers)
print("  nginx logged %d answers, %d bytes of body (%.4f x the file; a killed worker logs nothing); "
      "loopback traffic %d bytes = %.4f x the file" % (len(answers), body, body / size, wire, wire / size))
EOF
  if cmp -s "$work/client.bin" "$work/site/$file"; then echo "  the copy equals the site's file"; else echo "  the copy DIFFERS"; fi
  rm -f "$work/client.bin"
}

cut_past $(( (4 << 30) + (64 << 20) ))
run "4.5 GiB, 8 connections, every connection cut once the copy passes 4 GiB + 64 MiB" 8
if kill "$cutter" 2>/dev/null; then echo "  NO CUT: the copy never grew past the mark"; fi
wait "$cutter" 2>/dev/null || true
run "4.5 GiB, 1 connection" 1
run "512 MiB at 16 MiB/s an answer, 8 connections" 8 paced "$paced_port" paced.bin $((512 << 20))
run "512 MiB at 16 MiB/s an answer, 1 connection" 1 paced "$paced_port" paced.bin $((512 << 20))

echo "== 8 TiB, more than the disk holds"
start=$(date +%s.%N)
status=0
wine build/bench-i686/bin/download_bench.exe "http://127.0.0.1:$port/huge.bin" "$windows_work\\huge.bin" 8 \
  2>"$work/huge.err" || status=$?
awk -v a="$start" -v b="$(date +%s.%N)" -v s="$status" -v m="$(cat "$work/huge.err")" \
  'BEGIN { printf "  exit status %d after %.3f s: %s\n", s, b - a, m }'
if [ -e "$work/huge.bin" ]; then echo "  a file was left behind"; else echo "  no file left behind"; fi
echo "load after: $(uptime | sed 's/.*load average/load average/')"
