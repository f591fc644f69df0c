#!/usr/bin/env bash
# Builds the release package of the launcher for one game server:
#
#   bash scripts/release.sh -C settings.cmake --block connect.block
#
# settings.cmake is a CMake initial-cache file with the operator's VORN_* values (see the README), the block is
# the game's 178-byte connection block. Builds the 32-bit release executable in build/release and writes
# dist/VornLauncher-<version>.zip (the version is the settings' VORN_LAUNCHER_VERSION): VornLauncher.exe,
# configuration.txt (every compiled-in value) and SHA256SUMS. The same sources, settings and block give the same
# bytes, the executable and the zip alike; a different package of the same name is never overwritten.
#
# It refuses a build without the real block and an update site on plain HTTP; --stand-in-block and --allow-http
# build one anyway (for trials: the record says so). --public-key HEX compiles in the update key that signed
# releases are checked with (tools/sign_release.py keygen prints it; the settings file may hold it instead).
# --dist DIR and --build-dir DIR choose other folders. The build folder's bin/ also gets trust_root.exe, for
# trials. --trial i686|x86_64 builds the same launcher for a trial, without a package, into
# build/trial-<target>/bin (x86_64: for a 64-bit Wine).
# Every run configures afresh from the settings, so a changed setting always takes effect.
set -euo pipefail

usage() {
  sed -n '2,18s/^# \{0,1\}//p' "$0"
}

die() {
  echo "release: $*" >&2
  exit 2
}

root=$(cd "$(dirname "$0")/.." && pwd)
settings=
block=
key_option=()
allow_stand_in=0
allow_http=0
dist=$root/dist
build=
trial=
while [ $# -gt 0 ]; do
  case "$1" in
    -C) [ $# -ge 2 ] || die "-C needs a settings file"; settings=$2; shift 2 ;;
    -C?*) settings=${1#-C}; shift ;;
    --block) [ $# -ge 2 ] || die "--block needs a file"; block=$2; shift 2 ;;
    --public-key) [ $# -ge 2 ] || die "--public-key needs the key's hexadecimal digits"
                  key_option=(-DVORN_UPDATE_PUBLIC_KEY="$2"); shift 2 ;;
    --stand-in-block) allow_stand_in=1; shift ;;
    --allow-http) allow_http=1; shift ;;
    --dist) [ $# -ge 2 ] || die "--dist needs a folder"; dist=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || die "--build-dir needs a folder"; build=$2; shift 2 ;;
    --trial) [ $# -ge 2 ] || die "--trial needs a target, i686 or x86_64"; trial=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done

case "$trial" in
  '') target=i686; build=${build:-$root/build/release} ;;
  i686|x86_64) target=$trial; build=${build:-$root/build/trial-$trial} ;;
  *) die "--trial takes i686 or x86_64, not \"$trial\"" ;;
esac
[ -n "$settings" ] || die "no settings: give the operator's CMake initial-cache file with -C settings.cmake"
[ -f "$settings" ] || die "no such settings file: $settings"
settings=$(realpath "$settings")
block_option=()
if [ -z "$block" ] && [ $allow_stand_in -eq 0 ]; then
  die "no connection block: a launcher for players must write the game's real 178-byte block into" \
      "Data\\Local\\Connect.msil, and without one it would carry the stand-in the game cannot use." \
      "Give it with --block FILE (or --stand-in-block for a trial build)."
fi
if [ -n "$block" ]; then
  [ -f "$block" ] || die "no such connection block file: $block"
  block_option=(-DVORN_CONNECT_BLOCK_FILE="$(realpath "$block")")
fi
[ -n "$trial" ] || mkdir -p "$dist"
mkdir -p "$build"
build=$(realpath "$build")

bash "$root/scripts/setup.sh"

# A compiler cache, where one is installed, serves what the checkout's other builds compiled already (the test
# build in build/i686, an earlier release) once the paths under the checkout count relative to it.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
fi
# A fresh cache each time, so nothing of an earlier run's settings survives; the objects stay and are reused.
# The settings come first: the options after them fix what a release is.
cmake --fresh -S "$root" -B "$build" -G Ninja "${launcher[@]}" \
  -C "$settings" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$target-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DVORN_BUILD_TESTS=OFF \
  "${block_option[@]}" "${key_option[@]}" >"$build/configure.log" || {
  cat "$build/configure.log" >&2
  die "configuring failed (the reason is above)"
}

warn_trial() {
  if grep -q '^VORN_CONNECT_BLOCK = STAND-IN' "$record"; then
    echo "release: WARNING: built with the stand-in connection block; the game cannot use it (trials only)" >&2
  fi
  if [ $plain_http -eq 1 ]; then
    echo "release: WARNING: the update site is plain HTTP (trials only)" >&2
  fi
}

cached() {
  sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}

update_url=$(cached VORN_UPDATE_BASE_URL)
plain_http=0
case "${update_url,,}" in
  https://*) ;;
  http://*)
    plain_http=1
    [ $allow_http -eq 1 ] || die "the update site $update_url is plain HTTP: anyone on the way between the" \
      "players and the server could replace the files the launcher installs, Main.exe and the launcher" \
      "included. Serve it over HTTPS (VORN_UPDATE_BASE_URL=https://...), or pass --allow-http for a trial build."
    ;;
  *) die "the update site must be an https:// address ending in /, not \"$update_url\"" ;;
esac

# trust_root.exe is for trials (a machine that trusts a private test authority); it never goes into the package.
cmake --build "$build" --parallel "$(nproc)" --target VornLauncher trust_root
record=$build/configuration.txt
if [ -n "$trial" ]; then
  warn_trial
  echo "$build/bin/VornLauncher.exe"
  sed 's/^/  /' "$record"
  exit 0
fi

dist=$(realpath "$dist")
version=$(sed -n '1s/^VornLauncher \([^:]*\):.*/\1/p' "$record")
[ -n "$version" ] || die "no version in $record"
package=$dist/VornLauncher-$version.zip

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build/bin/VornLauncher.exe" "$stage/VornLauncher.exe"
cp "$record" "$stage/configuration.txt"
(cd "$stage" && sha256sum VornLauncher.exe configuration.txt >SHA256SUMS)

# The zip holds its entries in a fixed order, each with the same time and permissions, so the same files give
# the same archive. SOURCE_DATE_EPOCH, when set, is that time; otherwise the earliest a zip can hold.
python3 - "$stage" "$package.tmp" <<'EOF'
import os
import sys
import time
import zipfile

stage, out = sys.argv[1:]
epoch = os.environ.get("SOURCE_DATE_EPOCH")
stamp = time.gmtime(max(int(epoch), 315532800))[:6] if epoch else (1980, 1, 1, 0, 0, 0)
with zipfile.ZipFile(out, "w") as archive:
    for name in ("VornLauncher.exe", "configuration.txt", "SHA256SUMS"):
        entry = zipfile.ZipInfo(name, date_time=stamp)
        entry.create_system = 3
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as f:
            archive.writestr(entry, f.read(), compresslevel=9)
EOF
# A package is never replaced by a different one of the same name: players and mirrors may already hold it.
if [ -e "$package" ] && ! cmp -s "$package.tmp" "$package"; then
  rm -f "$package.tmp"
  die "$package exists and holds a different launcher of version $version; set a new VORN_LAUNCHER_VERSION" \
      "in the settings for this release (or move the old package away if it was never given out)"
fi
mv "$package.tmp" "$package"

warn_trial
echo "$package"
(cd "$stage" && sed 's/^/  /' SHA256SUMS)
