#!/usr/bin/env bash
# For working on one area: builds the i686 test build (VORN_TEST_TARGET=x86_64: the 64-bit one) into its own folder
# and runs the matching ctest tests in a fresh Wine session. Usage: scripts/dev-test.sh BUILD_DIR [ctest arguments],
# e.g.
#   scripts/dev-test.sh build-net -R net
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/dev-test.sh BUILD_DIR [ctest arguments]}
shift
VORN_BUILD_DIR=$dir bash scripts/build.sh "${VORN_TEST_TARGET:-i686}"
source scripts/wine-session.sh
VORN_XVFB=1 vorn_wine_start
trap vorn_wine_stop EXIT
cd "$dir"
ctest --output-on-failure --timeout 900 "$@"
