#!/usr/bin/env bash
# An update against hostile manifests served by tools/update_site.py on 127.0.0.1: 50 MiB of CR bytes after
# "Count=0" (with and without a Content-Length), the same just under the 16 MiB cap (read and parsed whole), and
# a body without length that never ends. For each: the bytes written into the staging folder, the time and the
# peak working set of the process. Usage: bench/update_limits_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
VORN_BUILD_DIR=build/bench VORN_BUILD_TARGET=update_limits_bench \
  bash scripts/build.sh x86_64 -DVORN_BUILD_BENCHMARKS=ON >/dev/null

source bench/site_session.sh

mkdir "$work/site" "$work/client"
breaks() { { printf '[Set]\r\nCount=0\r\n'; head -c "$1" /dev/zero | tr '\0' '\r'; } >"$work/site/$2"; }
breaks $((50 << 20)) breaks.ini
cp "$work/site/breaks.ini" "$work/site/breaks-nolength.ini"
breaks $(((16 << 20) - 64)) breaks-under-cap.ini
printf '[Set]\r\nCount=0\r\n[up]\r\n' >"$work/site/endless.ini"
bench_start_site --fault /breaks-nolength.ini=nolength --fault /endless.ini=endless
base=$base/

client="Z:${work//\//\\}\\client"
for manifest in breaks.ini breaks-nolength.ini breaks-under-cap.ini endless.ini; do
  wine build/bench/bin/update_limits_bench.exe "$base" "$manifest" "$client"
done
