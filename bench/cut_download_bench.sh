#!/usr/bin/env bash
# One large file whose first download the site cuts part way: bench/bench_site.py announces the whole length of
# the file, sends half of it and closes the connection; later requests are answered normally (ranges honoured,
# with an ETag). One update of an empty client folder runs under Wine; reported are whether it succeeded without
# anyone trying again, and the bytes of body the site sent in all, as a ratio of the file size.
# Usage: bench/cut_download_bench.sh [SIZE_MIB [SITE_OPTION ...]] (default 256 MiB; needs about 3 x SIZE free in
# /tmp). Site options go to bench/bench_site.py, e.g. --no-ranges or --changing-validator.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
size=${1:-256}
shift || true
source bench/bench_site.sh
bench_site_prepare cut-download
mkdir "$work/client"
head -c $((size << 20)) /dev/urandom >"$work/site/big.bin"
python3 tools/make_manifest.py "$work/site" >/dev/null
bench_site_start --cut /big.bin=0.5 "$@"

echo "== $size MiB, the first answer cut at half${*:+; site options: $*}; load: $(uptime | sed 's/.*load average/load average/')"
status=0
wine build/bench/bin/update_bench.exe "$base/" up.ini "Z:${work//\//\\}\\client" || status=$?
installed=no
cmp -s "$work/site/big.bin" "$work/client/big.bin" && installed=yes
python3 - "$work/site.log" $((size << 20)) "$status" "$installed" <<'EOF'
import json, sys
log, size, status, installed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
answers = [json.loads(line) for line in open(log, encoding="utf-8")]
big = [a for a in answers if a["path"] == "/big.bin"]
for a in big:
    print("  %s /big.bin %s%s: %d bytes%s" % (a["method"], a["status"], " (Range %s, If-Range %s)" % (a["range"], a["if_range"])
          if a["range"] else "", a["sent"], ", cut" if a["cut"] else ""))
sent = sum(a["sent"] for a in big)
print("update %s, file in place: %s; the site sent %d bytes of the file in %d answers = %.3f x the file size "
      "(%d bytes in all answers)" % ("succeeded" if status == 0 else "failed", installed, sent, len(big), sent / size,
                                     sum(a["sent"] for a in answers)))
EOF
echo "load after: $(uptime | sed 's/.*load average/load average/')"
