#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs the tests under Wine in one session (a throwaway 64-bit
# prefix and a private X server): every test of the i686 build, the players' executable, then the few the x86_64
# build keeps (tests/CMakeLists.txt says which). Extra arguments go to both ctest runs, e.g. `scripts/test.sh -R net`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh i686

# The i686 tests mostly wait (on Wine, on their peers, on the bounds they test) and leave a core idle: the x86_64
# build compiles meanwhile on idle time only (SCHED_IDLE, or the lowest priority where that is refused), so a test
# never waits for it and no bound a test measures is shortened by it. Its output follows the i686 tests.
background=(nice -n 19)
if chrt --idle 0 true 2>/dev/null; then
  background=(chrt --idle 0)
fi
mkdir -p build
x86_64_log=build/x86_64-build.log
"${background[@]}" bash scripts/build.sh x86_64 >"$x86_64_log" 2>&1 &
x86_64_build=$!

source scripts/wine-session.sh
VORN_XVFB=1 vorn_wine_start
# Nothing started here outlives the run: the x86_64 build is waited for before the session ends.
trap 'wait "$x86_64_build" 2>/dev/null || true; vorn_wine_stop' EXIT
status=0
(cd build/i686 && ctest --output-on-failure --timeout 900 "$@") || status=1
x86_64_built=0
wait "$x86_64_build" && x86_64_built=1
cat "$x86_64_log"
if [ $x86_64_built = 1 ]; then
  (cd build/x86_64 && ctest --output-on-failure --timeout 900 "$@") || status=1
else
  echo "test: the x86_64 build failed (its output is above)" >&2
  status=1
fi
exit $status
