#!/usr/bin/env bash
# Block reuse in one run: the 32-bit build's update (update_bench.exe, as players run it) of a 512 MiB file of random
# bytes from the project's nginx (tools/nginx_site.py), with the manifest tool's block index, under Wine:
#   whole: no old copy, the file fetched whole (what every case cost before block reuse);
#   (a) the client holds the old version, the new one has 16 regions of 64 KiB rewritten, spread through it;
#   (b) the new one has 10 KiB inserted 1 MiB from its start;
#   (c) the client's old copy is cut to its first half (the new file is the old one);
#   (d) no old copy; the first attempt is killed once the kept download holds half the file, the second continues;
#   (e) 4.5 GiB, sparse, one mebibyte past 4 GiB changed: the 32-bit build's offsets past 4 GiB.
# (a) and (b) are a player's second start: an earlier start found the old copy current and recorded it, so the
# check pass does not read it; "(a) first" and "(b) first" are the same updates at a first start, without a record.
# Reported per case: the bytes nginx sent (file and index) against the case's goal; the update's time and its
# parts (before the file's download began: the manifest and the check pass; the build: the index, the one pass
# over the old copy, the missing ranges and the check; the flush of the built file; the install); the scan, one
# pass of the matcher over the same old copy by the same build in a process of its own, and its speed; the pass,
# the same scan writing the blocks it finds into a new file as the update's build does (flushed on the way as the
# build flushes, not at its end); the fetch, curl asking nginx for the ranges that scan found missing;
# update / (scan + fetch) and update / (pass + fetch); the peak working set; whether the client's file equals the
# site's. Goals: (a), (b) at most 2 x the changed bytes + 0.5% of the file; (c) at
# most 1.05 x the missing half; (d) at most 1.05 x the file over both attempts; scan at least 200 MiB/s; peak
# working set under 64 MiB; (a), (b) no slower than the scan plus the fetch (a ratio of about 1).
# Usage: bench/block_reuse_bench.sh [MIB] (default 512; needs about 5 x MIB and 10 GiB more free in /tmp).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
for target in update_bench block_scan_bench; do
  VORN_BUILD_DIR=build/bench-i686 VORN_BUILD_TARGET=$target \
    bash scripts/build.sh i686 -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCHMARKS=ON >/dev/null
done

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

# publish NEW: the site's file becomes $work/NEW, with its index and manifest, each version's site made once.
publish() {
  if [ ! -d "$work/sites/$1" ]; then
    mkdir -p "$work/sites/$1"
    ln "$work/$1" "$work/sites/$1/big.bin"
    python3 tools/make_manifest.py "$work/sites/$1" >/dev/null
  fi
  rm -rf "$work/site"/*
  cp -al "$work/sites/$1/." "$work/site/"
}

# sent FROM_LINE [NGINX]: the bytes nginx (default: nginx) sent of the file and of its index since that line of its
# log; the answers go to standard error (status, bytes, the start of the Range header, the target).
sent() {
  tail -n +"$1" "$work/${2:-nginx}/transfers.log" |
    awk '$6 ~ /big.bin|up.ini.blocks/ { s += $3; printf "         %s %d %.60s %s\n", $2, $3, $4, $6 >"/dev/stderr" }
         END { print s + 0 }'
}
logged() { wc -l <"$work/${1:-nginx}/transfers.log" 2>/dev/null || echo 0; }

# reference OLD_COPY: sets $scan_line (the scan and the pass of OLD_COPY against the site's index by
# block_scan_bench.exe) and $fetch_s (the seconds curl takes to fetch the ranges it found missing from nginx).
reference() {
  scan_line=$(wine build/bench-i686/bin/block_scan_bench.exe --scan "Z:${1//\//\\}" \
    "Z:$(echo "$work"/site/up.ini.blocks/* | sed 's|/|\\|g')" | tr -d '\r')
  local missing=${scan_line##* missing }
  fetch_s=0
  [ "$missing" = - ] ||
    fetch_s=$(curl -s -o /dev/null -H "Range: bytes=$missing" -w '%{time_total}' "http://127.0.0.1:$port/big.bin")
}

# report NAME GOAL_BYTES SENT_BYTES UPDATE_LINE [SCAN_LINE FETCH_SECONDS OLD_COPY_BYTES]
report() {
  python3 - "$size" "$@" <<'EOF2'
import re, sys
size, name, goal, sent, line = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
m = re.search(r"in ([0-9.]+) s \(first file download began at ([0-9.]+) s, its percent first moved at [0-9.]+ s, "
              r"first file verified at ([0-9.]+) s, install at ([0-9.]+) s\).*peak working set ([0-9.]+) MiB", line)
total, began, verified, install, peak = (float(x) for x in m.groups()) if m else (0, 0, 0, 0, 0)
verdict = "no goal" if goal == 0 else "goal <= %d: %s" % (goal, "met" if sent <= goal else "MISSED")
print("%-9s sent %11d bytes (%.4f of the file), %s; peak WS %.1f MiB" % (name, sent, sent / size, verdict, peak))
print("          update %.2f s = before the download %.2f + build %.2f + flush %.2f + install %.2f"
      % (total, began, verified - began, install - verified, total - install))
if len(sys.argv) > 6:
    scan, passed = (float(x) for x in re.search(r"scan ([0-9.]+) s, pass ([0-9.]+) s", sys.argv[6]).groups())
    fetch, old = float(sys.argv[7]), int(sys.argv[8])
    print("          scan %.2f s (%.0f MiB/s), pass %.2f s, fetch %.3f s; update / (scan + fetch) = %.2f, "
          "update / (pass + fetch) = %.2f" % (scan, old / 1048576 / scan, passed, fetch, total / (scan + fetch),
                                              total / (passed + fetch)))
print("          " + line)
EOF2
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

# reuse NAME NEW GOAL FIRST: the update from the old copy to NEW, at a first start when FIRST is 1, else at a
# second one, whose record the start before it made with the old copy current (written over two seconds before,
# so the record may trust it).
reuse() {
  rm -f "$work/client/.vorn-verified"
  cp "$work/old.bin" "$work/client/big.bin"
  if [ "$4" = 0 ]; then
    publish old.bin
    sleep 2.5
    run_update >/dev/null || echo "the start before $1 failed"
  fi
  publish "$2"
  reference "$work/client/big.bin"
  from=$(($(logged) + 1)); line=$(run_update || true)
  report "$1" "$3" "$(sent "$from")" "$line" "$scan_line" "$fetch_s" "$size"; same
}

changed=$((16 * 65536))
reuse "(a)" a.bin $((2 * changed + size / 200)) 0
reuse "(a) first" a.bin $((2 * changed + size / 200)) 1
reuse "(b)" b.bin $((2 * 10240 + size / 200)) 0
reuse "(b) first" b.bin $((2 * 10240 + size / 200)) 1

publish old.bin
head -c $((size / 2)) "$work/old.bin" >"$work/client/big.bin"
reference "$work/client/big.bin"
from=$(($(logged) + 1)); line=$(run_update || true)
report "(c)" "$(((size / 2) * 105 / 100))" "$(sent "$from")" "$line" "$scan_line" "$fetch_s" $((size / 2)); same

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
rm -rf "${work:?}/site"/* "$work/sites" "$work/client"/* "$work/client"/.vorn-kept "$work"/*.bin
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
reference "$work/client/big.bin"
from=$(($(logged) + 1)); line=$(run_update || true)
report "(e)" "$((2 * (1 << 20) + big / 200))" "$(sent "$from")" "$line" "$scan_line" "$fetch_s" "$big"; same
echo "load after: $(uptime | sed 's/.*load average/load average/')"
