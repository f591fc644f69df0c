#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test under 64-bit Wine (with a throwaway
# prefix and a private X server). Extra arguments go to ctest, e.g. `scripts/test.sh -R net`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh i686
bash scripts/build.sh x86_64 -DVORN_RELEASE_EXE="$PWD/build/i686/bin/VornLauncher.exe"

source scripts/wine-session.sh
VORN_XVFB=1 vorn_wine_start
trap vorn_wine_stop EXIT
cd build/x86_64
ctest --output-on-failure --timeout 900 "$@"
