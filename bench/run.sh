#!/usr/bin/env bash
# Runs every benchmark of this folder in turn (each bench/<name>_bench.sh builds what it needs), or the named
# ones: bench/run.sh [name ...], e.g. bench/run.sh crc32 manifest. Benchmarks are not part of the test run.
set -euo pipefail
cd "$(dirname "$0")"
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for script in *_bench.sh; do names+=("${script%_bench.sh}"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  bash "./${name}_bench.sh"
done
