#!/usr/bin/env bash
# What one directory listing tells of a file under this Wine, in a 64-bit and a 32-bit program (the release is
# 32-bit): the listing classes that answer, the times and ids they give, how fine the times are, what moves them,
# and the cost per entry. The record of verified files trusts what these figures show (update/verified_record.h).
# Usage: bench/file_stamps_bench.sh (works in a folder under /tmp, removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench-stamps
mkdir -p "$out"
for arch in x86_64 i686; do
  # Built apart from the project: the probe asks for calls of Windows 8 (the precise clock, the 128-bit id
  # class) that the launcher itself, built for Windows 7, does not use.
  "$arch-w64-mingw32-g++" -std=c++20 -O2 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0602 \
    -municode -static bench/file_stamps_bench.cpp -o "$out/file_stamps_bench_$arch.exe"
done

work=$(mktemp -d /tmp/vorn-stamps-bench.XXXXXX)
source scripts/wine-session.sh
trap 'vorn_wine_stop; rm -rf "$work"' EXIT
vorn_wine_start
for arch in x86_64 i686; do
  wine "$out/file_stamps_bench_$arch.exe" "Z:${work//\//\\}\\$arch"
done
