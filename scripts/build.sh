#!/usr/bin/env bash
# Builds the launcher for one target with its tests: `scripts/build.sh i686` (the 32-bit executable players run,
# the one the whole test suite and the journeys play under Wine) or `scripts/build.sh x86_64` (the same sources
# for 64-bit Windows, kept compiling with warnings as errors, with the few tests tests/CMakeLists.txt runs there).
# Extra arguments go to cmake, e.g. -DVORN_SERVER_HOST=203.0.113.7. Output: build/<target>/bin/VornLauncher.exe
# (VORN_BUILD_DIR overrides the folder, VORN_BUILD_TARGET builds one target only).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/build.sh i686|x86_64 [cmake options]}
shift
case "$arch" in
  i686|x86_64) ;;
  *) echo "unknown target: $arch" >&2; exit 2 ;;
esac
dir=${VORN_BUILD_DIR:-build/$arch}
# Several checkouts of one machine, and several build folders of one checkout (the HTTPS launcher, the release
# check's two builds), compile the same sources: a compiler cache, where one is installed, shares them once the
# paths under the checkout count relative to it.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
fi
# A folder configured for the other target is configured afresh: its cache would keep the other compiler.
fresh=()
if [ -f "$dir/CMakeCache.txt" ] &&
   ! grep -q "^CMAKE_TOOLCHAIN_FILE:[A-Z]*=.*cmake/$arch-w64-mingw32.cmake$" "$dir/CMakeCache.txt"; then
  fresh=(--fresh)
fi
cmake "${fresh[@]}" -S . -B "$dir" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DVORN_BUILD_TESTS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
  "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)" ${VORN_BUILD_TARGET:+--target $VORN_BUILD_TARGET}
