#!/usr/bin/env bash
# Builds the launcher for one target: `scripts/build.sh i686` (the 32-bit release executable, no tests) or
# `scripts/build.sh x86_64` (the build the tests run under 64-bit Wine). Extra arguments go to cmake, e.g.
# -DVORN_SERVER_HOST=203.0.113.7. Output: build/<target>/bin/VornLauncher.exe (VORN_BUILD_DIR overrides the
# folder, VORN_BUILD_TARGET builds one target only).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/build.sh i686|x86_64 [cmake options]}
shift
case "$arch" in
  i686) tests=OFF ;;
  x86_64) tests=ON ;;
  *) echo "unknown target: $arch" >&2; exit 2 ;;
esac
dir=${VORN_BUILD_DIR:-build/$arch}
# Several checkouts of one machine build the same sources: a compiler cache, where one is installed, shares them.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DVORN_BUILD_TESTS=$tests \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
  "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)" ${VORN_BUILD_TARGET:+--target $VORN_BUILD_TARGET}
