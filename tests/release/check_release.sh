#!/usr/bin/env bash
# The release command as an operator runs it: the refusals (no block, a block of the wrong size, a plain-HTTP
# update site), then the same settings and block built twice in two folders, which must give the same executable
# and the same zip, holding the record of the values given and checksums that check.
#   check_release.sh SOURCE_DIR WORK_DIR
# WORK_DIR keeps the two build folders between runs, so a second run only rebuilds what changed.
set -euo pipefail
source_dir=$1
work=$2
release="$source_dir/scripts/release.sh"
mkdir -p "$work"
failures=0
# With paths under the checkout counted relative to it, the compiler cache serves the first build from the test
# build's objects; the second compiles everything itself, so a build path or a time that reaches an object shows.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$source_dir}

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

cat >"$work/settings.cmake" <<'EOF'
set(VORN_WINDOW_TITLE "岚谷 \"试炼\" 登录器" CACHE STRING "")
set(VORN_SERVER_HOST "203.0.113.7" CACHE STRING "")
set(VORN_UPDATE_BASE_URL "https://updates.example.com/vorn/" CACHE STRING "")
set(VORN_WEBSITE_URL "https://www.example.com/" CACHE STRING "")
set(VORN_CLIENT_SERIAL "AB12CD34EF56GH78" CACHE STRING "")
set(VORN_LAUNCH_AUTH_ENABLED OFF CACHE BOOL "")
EOF
sed 's|https://updates|http://updates|' "$work/settings.cmake" >"$work/plain-http.cmake"
python3 -c 'import sys; sys.stdout.buffer.write(bytes((7 * i + 3) % 256 for i in range(178)))' >"$work/sample.block"
head -c 177 "$work/sample.block" >"$work/short.block"

# Runs release.sh expecting a refusal whose message holds `reason`.
expect_refusal() {
  local reason=$1
  shift
  if bash "$release" "$@" --build-dir "$work/refused" --dist "$work/refused-dist" >"$work/refusal.log" 2>&1; then
    fail "release.sh $* succeeded"
  elif ! grep -qF "$reason" "$work/refusal.log"; then
    fail "release.sh $* stopped without saying \"$reason\":"
    cat "$work/refusal.log" >&2
  fi
  if compgen -G "$work/refused-dist/*.zip" >/dev/null; then
    fail "release.sh $* left a package"
  fi
}
expect_refusal "no connection block" -C "$work/settings.cmake"
expect_refusal "holds 177 bytes" -C "$work/settings.cmake" --block "$work/short.block"
expect_refusal "is plain HTTP" -C "$work/plain-http.cmake" --block "$work/sample.block"

for side in a b; do
  [ $side = a ] || export CCACHE_DISABLE=1
  rm -rf "$work/dist-$side"
  bash "$release" -C "$work/settings.cmake" --block "$work/sample.block" --build-dir "$work/build-$side" \
    --dist "$work/dist-$side" >"$work/release-$side.log" 2>&1 || {
    cat "$work/release-$side.log" >&2
    echo "FAILED: release.sh did not build in build-$side" >&2
    exit 1
  }
done
cmp "$work/build-a/bin/VornLauncher.exe" "$work/build-b/bin/VornLauncher.exe" ||
  fail "two builds of the same inputs gave different executables"
package=$(cd "$work/dist-a" && ls)
[ "$package" = "VornLauncher-1.0.0.zip" ] || fail "the package is named \"$package\""
cmp "$work/dist-a/$package" "$work/dist-b/$package" || fail "two builds of the same inputs gave different zips"

rm -rf "$work/unpacked"
python3 -m zipfile -e "$work/dist-a/$package" "$work/unpacked"
[ "$(cd "$work/unpacked" && ls | sort | tr '\n' ' ')" = "SHA256SUMS VornLauncher.exe configuration.txt " ] ||
  fail "the package holds: $(ls "$work/unpacked")"
(cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "the package's checksums do not check"
cmp "$work/unpacked/VornLauncher.exe" "$work/build-a/bin/VornLauncher.exe" || fail "the package's executable"

block_digest=$(sha256sum "$work/sample.block" | cut -d' ' -f1)
for line in 'VORN_WINDOW_TITLE = 岚谷 "试炼" 登录器' 'VORN_SERVER_HOST = 203.0.113.7' \
    'VORN_UPDATE_BASE_URL = https://updates.example.com/vorn/' 'VORN_WEBSITE_URL = https://www.example.com/' \
    'VORN_CLIENT_SERIAL = AB12CD34EF56GH78' 'VORN_LAUNCH_AUTH_ENABLED = OFF' 'VORN_MANIFEST_NAME = up.ini' \
    "VORN_CONNECT_BLOCK = the operator's block, 178 bytes, SHA-256 $block_digest"; do
  grep -qxF "$line" "$work/unpacked/configuration.txt" || fail "the record lacks the line: $line"
done
if grep -q "$work\|$source_dir" "$work/unpacked/configuration.txt"; then
  fail "the record holds a build path"
fi

# The executable carries the block itself, byte for byte.
python3 - "$work/sample.block" "$work/unpacked/VornLauncher.exe" <<'EOF' || fail "the executable lacks the block"
import sys
block, exe = (open(path, "rb").read() for path in sys.argv[1:])
sys.exit(0 if exe.count(block) == 1 else 1)
EOF

[ $failures -eq 0 ] || exit 1
echo "release: refusals, two identical builds, the package and its record all as expected"
