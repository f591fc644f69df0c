#!/usr/bin/env bash
# Block reuse in one run: the 32-bit build's update (update_bench.exe, as players run it) of a 512 MiB file of random
# bytes from the project's nginx (tools/nginx_site.py), with the manifest tool's block index, under Wine:
#   whole: no old copy, the file fetched whole (what every case cost before block reuse);
#   (a) the client holds the old version, the new one has 16 regions of 64 KiB rewritten, spread through it;
#   (b) the new one has 10 KiB inserted 1 MiB from its start;
#   (c) the client's old copy is cut to its first half (the new file is the old one);
#   (d) no old copy; the first attempt is killed once the kept download holds half the file, the second continues;
#   (e) 4.5 GiB, sparse, one mebibyte past 4 GiB changed: the 32-bit build's offsets past 4 GiB.
# Reported per case: the bytes nginx sent (file and index) against the case's goal, the update's time, the scan's
# time (from the file's first report to its percent's first move: the index fetch and the scan of the old copy),
# the peak working set, and whether the client's file equals the site's. Goals: (a), (b) at most 2 x the changed
# bytes + 0.5% of the file; (c) at most 1.05 x the missing half; (d) at most 1.05 x the file over both attempts;
# scan at least 200 MiB/s; peak working set under 64 MiB.
# Usage: bench/block_reuse_bench.sh [MIB] (default 512; needs about 5 x MIB and 10 GiB more free in /tmp).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench-i686 VORN_BUILD_TARGET=update_bench \
  bash scripts/build.sh i686 -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCHMARKS=ON >/dev/null

mib=${1:-512}
size=$((mib << 20))
source bench/nginx_session.sh

mkdir "$work/site" "$work/client"
head -c "$size" /dev/urandom >"$work/old.bin"
python3 - "$work" <<'EOF'
import os, sys
work = sys.argv[1]
old = open(os.path.join(work, "old.bin"), "rb").read()
changed = bytearray(old)
for i in range(16):
    at = len(old) // 16 * i + 12345
    changed[at:at + 65536] = os.urandom(65536)
open(os.path.join(work, "a.bin"), "wb").write(changed)
open(os.path.join(work, "b.bin"), "wb").write(old[:1 << 20] + os.urandom(10 << 10) + old[1 << 20:])
EOF

# (d) runs against a site that sends each answer at 4 MiB/s at most, as a line does: on the loopback an unpaced
# nginx fills the sockets' buffers with tens of MiB that the killed launcher never read.
serve paced --rate $((4 << 20))
paced_port=$port
serve nginx
VORN_XVFB=1 vorn_wine_start
client="Z:${work//\//\\}\\client"
echo "== block reuse, $mib MiB; load: $(uptime | sed 's/.*load average/load average/')"

# publish NEW: the site's file becomes $work/NEW, with its index and manifest.
publish() {
  rm -rf "$work/site"/*
  cp "$work/$1" "$work/site/big.bin"
  python3 tools/make_manifest.py "$work/site" >/dev/null
}

# sent FROM_LINE [NGINX]: the bytes nginx (default: nginx) sent of the file and of its index since that line of its
# log; the answers go to standard error (status, bytes, the start of the Range header, the target).
sent() {
  tail -n +"$1" "$work/${2:-nginx}/transfers.log" |
    awk '$6 ~ /big.bin|up.ini.blocks/ { s += $3; printf "         %s %d %.60s %s\n", $2, $3, $4, $6 >"/dev/stderr" }
         END { print s + 0 }'
}
logged() { wc -l <"$work/${1:-nginx}/transfers.log" 2>/dev/null || echo 0; }

# report NAME GOAL_BYTES SENT_BYTES UPDATE_LINE
report() {
  python3 - "$@" "$size" <<'EOF'
import re, sys
name, goal, sent, line, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
m = re.search(r"in ([0-9.]+) s \(first file download began at ([0-9.]+) s, its percent first moved at ([0-9.]+) s.*"
              r"peak working set ([0-9.]+) MiB", line)
total, began, moved, peak = (float(x) for x in m.groups()) if m else (0, 0, 0, 0)
scan = moved - began
verdict = "no goal" if goal == 0 else "goal <= %d: %s" % (goal, "met" if sent <= goal else "MISSED")
print("%-6s sent %11d bytes (%.4f of the file), %s; update %.2f s, scan %.2f s (%s), peak WS %.1f MiB"
      % (name, sent, sent / size, verdict, total, scan,
         "%.0f MiB/s" % (size / 1048576 / scan) if name in ("(a)", "(b)", "(c)", "(e)") and scan > 0 else "-", peak))
print("       " + line)
EOF
}

run_update() { wine build/bench-i686/bin/update_bench.exe "http://127.0.0.1:${1:-$port}/" up.ini "$client"; }
# kill_tree PID: the process and its children, by their ids.
kill_tree() {
  local child
  for child in $(ps -o pid= --ppid "$1"); do kill_tree "$child"; done
  kill -9 "$1" 2>/dev/null || true
}
same() { cmp -s "$work/site/big.bin" "$work/client/big.bin" && echo "file equals the site's" || echo "FILE DIFFERS"; }

publish old.bin
rm -rf "$work/client"/* "$work/client"/.vorn-kept
from=$(($(logged) + 1)); line=$(run_update || true)
report whole 0 "$(sent "$from")" "$line"; same

changed=$((16 * 65536)); goal=$((2 * changed + size / 200))
publish a.bin
cp "$work/old.bin" "$work/client/big.bin"
from=$(($(logged) + 1)); line=$(run_update || true)
report "(a)" "$goal" "$(sent "$from")" "$line"; same

goal=$((2 * 10240 + size / 200))
publish b.bin
cp "$work/old.bin" "$work/client/big.bin"
from=$(($(logged) + 1)); line=$(run_update || true)
report "(b)" "$goal" "$(sent "$from")" "$line"; same

publish old.bin
head -c $((size / 2)) "$work/old.bin" >"$work/client/big.bin"
from=$(($(logged) + 1)); line=$(run_update || true)
report "(c)" "$(((size / 2) * 105 / 100))" "$(sent "$from")" "$line"; same

rm -rf "$work/client"/* "$work/client"/.vorn-kept
from=$(($(logged paced) + 1))
wine build/bench-i686/bin/update_bench.exe "http://127.0.0.1:$paced_port/" up.ini "$client" >"$work/first.txt" &
first=$!
while kill -0 "$first" 2>/dev/null; do
  held=$(du -s -B1 "$work/client/.vorn-kept" 2>/dev/null | cut -f1 || echo 0)
  if [ "${held:-0}" -ge $((size / 2)) ]; then
    kill_tree "$first"
    echo "(d) first attempt killed with $held bytes kept"
    break
  fi
  sleep 0.02
done
wait "$first" 2>/dev/null || true
line=$(run_update "$paced_port" || true)
report "(d)" "$((size * 105 / 100))" "$(sent "$from" paced)" "$line"; same
# (e) past 4 GiB in the 32-bit build: a sparse file of 4.5 GiB (a mebibyte of random bytes every 256 MiB, zeros
# between) whose copy on the client has its mebibyte at 4.25 GiB changed.
big=4831838208
rm -rf "${work:?}/site"/* "$work/client"/* "$work/client"/.vorn-kept "$work"/*.bin
python3 - "$work" "$big" <<'EOF'
import os, sys
work, size = sys.argv[1], int(sys.argv[2])
with open(os.path.join(work, "site/big.bin"), "wb") as site, open(os.path.join(work, "client/big.bin"), "wb") as client:
    site.truncate(size)
    client.truncate(size)
    for mark in range(0, size, 256 << 20):
        piece = os.urandom(1 << 20)
        site.seek(mark)
        site.write(piece)
        client.seek(mark)
        client.write(os.urandom(1 << 20) if mark == 17 << 28 else piece)
EOF
python3 tools/make_manifest.py "$work/site" >/dev/null
size=$big
from=$(($(logged) + 1)); line=$(run_update || true)
report "(e)" "$((2 * (1 << 20) + big / 200))" "$(sent "$from")" "$line"; same
echo "load after: $(uptime | sed 's/.*load average/load average/')"
