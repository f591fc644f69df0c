#!/usr/bin/env bash
# The release command as an operator runs it: the refusals (no block, a block of the wrong size, a plain-HTTP
# update site), a trial package with the stand-in block whose record and output say so, then the same settings
# and block built twice in two folders, which must give the same executable and the same zip, named and marked with
# the operator's version, holding the record of the values given and checksums that check; a different launcher of
# the same version is refused its package's name; a trial build from a changed settings file carries the change.
#   check_release.sh SOURCE_DIR WORK_DIR [BUILDS]
# The build folders are BUILDS-a, BUILDS-b and BUILDS-trial (BUILDS is WORK_DIR/build unless given), kept between
# runs so a second run only rebuilds what changed.
set -euo pipefail
source_dir=$1
work=$2
builds=${3:-$work/build}
release="$source_dir/scripts/release.sh"
mkdir -p "$work"
failures=0

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
set(VORN_MINIMUM_RELEASE 2026120801 CACHE STRING "")
set(VORN_DOWNLOAD_CONNECTIONS 3 CACHE STRING "")
set(VORN_LAUNCHER_VERSION "2.3.4" CACHE STRING "")
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

# A trial package carries the stand-in only when asked to, and says so where an operator looks. It is built in
# build-b, which the same settings with the real block then rebuild: only the block's object changes.
rm -rf "$work/dist-trial"
if bash "$release" -C "$work/settings.cmake" --stand-in-block --build-dir "$builds-b" --dist "$work/dist-trial" \
    >"$work/release-trial.log" 2>&1; then
  grep -qF "WARNING: built with the stand-in connection block" "$work/release-trial.log" ||
    fail "the trial build's output does not warn of the stand-in block"
  python3 -m zipfile -e "$work/dist-trial/VornLauncher-2.3.4.zip" "$work/dist-trial/unpacked"
  grep -qxF "VORN_CONNECT_BLOCK = STAND-IN (tests and the demo only; the game cannot use it)" \
    "$work/dist-trial/unpacked/configuration.txt" || fail "the trial package's record does not name the stand-in"
else
  cat "$work/release-trial.log" >&2
  fail "release.sh --stand-in-block did not build"
fi

# The compiler cache serves the first of the two compared builds what the test build and the trial compiled; the
# second compiles everything itself, so a build path or a time that reaches an object shows.
for side in a b; do
  no_cache=()
  [ $side = a ] || no_cache=(env CCACHE_DISABLE=1)
  rm -rf "$work/dist-$side"
  "${no_cache[@]}" bash "$release" -C "$work/settings.cmake" --block "$work/sample.block" \
    --build-dir "$builds-$side" --dist "$work/dist-$side" >"$work/release-$side.log" 2>&1 || {
    cat "$work/release-$side.log" >&2
    echo "FAILED: release.sh did not build in $builds-$side" >&2
    exit 1
  }
done
cmp "$builds-a/bin/VornLauncher.exe" "$builds-b/bin/VornLauncher.exe" ||
  fail "two builds of the same inputs gave different executables"
package=$(cd "$work/dist-a" && ls)
[ "$package" = "VornLauncher-2.3.4.zip" ] || fail "the package is named \"$package\""
cmp "$work/dist-a/$package" "$work/dist-b/$package" || fail "two builds of the same inputs gave different zips"

rm -rf "$work/unpacked"
python3 -m zipfile -e "$work/dist-a/$package" "$work/unpacked"
[ "$(cd "$work/unpacked" && ls | sort | tr '\n' ' ')" = "SHA256SUMS VornLauncher.exe configuration.txt " ] ||
  fail "the package holds: $(ls "$work/unpacked")"
(cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "the package's checksums do not check"
cmp "$work/unpacked/VornLauncher.exe" "$builds-a/bin/VornLauncher.exe" || fail "the package's executable"

block_digest=$(sha256sum "$work/sample.block" | cut -d' ' -f1)
head -n 1 "$work/unpacked/configuration.txt" | grep -qxF "VornLauncher 2.3.4: the compiled-in configuration" ||
  fail "the record does not start with the version: $(head -n 1 "$work/unpacked/configuration.txt")"
for line in 'VORN_WINDOW_TITLE = 岚谷 "试炼" 登录器' 'VORN_SERVER_HOST = 203.0.113.7' \
    'VORN_UPDATE_BASE_URL = https://updates.example.com/vorn/' 'VORN_WEBSITE_URL = https://www.example.com/' \
    'VORN_CLIENT_SERIAL = AB12CD34EF56GH78' 'VORN_LAUNCH_AUTH_ENABLED = OFF' 'VORN_MANIFEST_NAME = up.ini' \
    'VORN_MAX_UNKNOWN_LENGTH = 4294967296' \
    'VORN_MINIMUM_RELEASE = 2026120801' \
    'VORN_DOWNLOAD_CONNECTIONS = 3' 'VORN_QUICK_CHECK = ON' \
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

# The version shows in the executable's version information and on the window face: the executable carries the
# face drawn for 2.3.4, which differs from the default one.
# Each drawing keeps one core busy for seconds: the two are drawn side by side.
python3 "$source_dir/tools/make_skin.py" "$work/skin-2.3.4.png" "$source_dir/ui/layout.h" 2.3.4 &
drawing=$!
python3 "$source_dir/tools/make_skin.py" "$work/skin-default.png" "$source_dir/ui/layout.h"
wait "$drawing"
python3 - "$work/unpacked/VornLauncher.exe" "$work/skin-2.3.4.png" "$work/skin-default.png" <<'EOF' ||
import sys
exe, face, default = (open(path, "rb").read() for path in sys.argv[1:])
problems = []
if "2.3.4.0".encode("utf-16-le") not in exe or "1.0.0.0".encode("utf-16-le") in exe:
    problems.append("the version information is not 2.3.4.0")
if face == default or exe.count(face) != 1:
    problems.append("the window face is not the one drawn for 2.3.4")
print("; ".join(problems), file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
  fail "the executable does not show its version"

# The same inputs again give the same package, which may stand; a different launcher under the same version may
# not replace it.
bash "$release" -C "$work/settings.cmake" --block "$work/sample.block" --build-dir "$builds-a" \
  --dist "$work/dist-a" >"$work/again.log" 2>&1 || fail "release.sh refused to rebuild the same package"
cp "$work/dist-a/$package" "$work/first.zip"
sed 's/试炼/再试/' "$work/settings.cmake" >"$work/changed.cmake"
if bash "$release" -C "$work/changed.cmake" --block "$work/sample.block" --build-dir "$builds-a" \
    --dist "$work/dist-a" >"$work/overwrite.log" 2>&1; then
  fail "release.sh replaced VornLauncher-2.3.4.zip with a different launcher"
elif ! grep -qF "holds a different launcher of version 2.3.4" "$work/overwrite.log"; then
  fail "release.sh stopped without saying why: $(cat "$work/overwrite.log")"
fi
cmp -s "$work/first.zip" "$work/dist-a/$package" || fail "the first package of version 2.3.4 changed"
[ "$(ls "$work/dist-a")" = "$package" ] || fail "the refused package left files: $(ls "$work/dist-a")"

# A trial build takes a changed settings file at once, though its folder was configured before.
for title in "试炼一" "试炼二"; do
  printf 'set(VORN_WINDOW_TITLE "岚谷 %s 登录器" CACHE STRING "")\n' "$title" >"$work/trial.cmake"
  echo 'set(VORN_UPDATE_BASE_URL "https://updates.example.com/vorn/" CACHE STRING "")' >>"$work/trial.cmake"
  bash "$release" --trial i686 -C "$work/trial.cmake" --stand-in-block --build-dir "$builds-trial" \
    >"$work/trial.log" 2>&1 || { cat "$work/trial.log" >&2; fail "the trial build failed"; continue; }
  grep -qxF "VORN_WINDOW_TITLE = 岚谷 $title 登录器" "$builds-trial/configuration.txt" ||
    fail "the trial build's record does not hold the title with $title"
  python3 -c 'import sys; sys.exit(0 if sys.argv[1].encode("utf-16-le") in open(sys.argv[2], "rb").read() else 1)' \
    "岚谷 $title 登录器" "$builds-trial/bin/VornLauncher.exe" || fail "the trial launcher does not carry $title"
  [ -f "$builds-trial/bin/trust_root.exe" ] || fail "the trial build has no trust_root.exe"
done

[ $failures -eq 0 ] || exit 1
echo "release: refusals, two identical builds, the package, its version and record, the refused overwrite and" \
  "the trial build all as expected"
