#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs the tests under Wine in one session (a throwaway 64-bit
# prefix and a private X server): every test of the i686 build, the players' executable, then the few the x86_64
# build keeps (tests/CMakeLists.txt says which). Extra arguments go to both ctest runs, e.g. `scripts/test.sh -R net`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh i686
bash scripts/build.sh x86_64

source scripts/wine-session.sh
VORN_XVFB=1 vorn_wine_start
trap vorn_wine_stop EXIT
status=0
for target in i686 x86_64; do
  (cd "build/$target" && ctest --output-on-failure --timeout 900 "$@") || status=1
done
exit $status
