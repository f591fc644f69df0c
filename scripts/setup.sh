#!/usr/bin/env bash
# Installs what building and testing the launcher needs on a Debian 12 machine. Safe to run again: it only
# installs what is missing, and asks apt for its package lists at most once per run.
set -euo pipefail

packages=(
  cmake make ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  googletest
  wine wine64 wine32:i386
  xvfb xauth x11-utils xdotool imagemagick
  fonts-wqy-microhei fonts-dejavu-core
  python3 python3-cryptography
  curl nginx openssl rsync unzip
  ccache
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Wine runs 32-bit Windows programs, the launcher players get among them, with Debian's i386 packages.
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # The scripts start nginx themselves, on 127.0.0.1 with a configuration of their own; the package must not
  # start the system's nginx on port 80. A policy that forbids starting services does that during the install.
  # Services that already run, nginx included, are the operator's: nothing here stops or disables one (the
  # demo and the tests name what holds a port they need instead).
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  status=0
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
  if [ $own_policy = 1 ]; then
    rm -f "$policy"
  fi
  [ $status = 0 ] || exit $status
fi

# The posix thread model is the one std::thread needs.
for t in i686-w64-mingw32 x86_64-w64-mingw32; do
  for tool in gcc g++; do
    if [ -e "/usr/bin/$t-$tool-posix" ] && [ "$(readlink -f "/usr/bin/$t-$tool")" != "$(readlink -f "/usr/bin/$t-$tool-posix")" ]; then
      update-alternatives --set "$t-$tool" "/usr/bin/$t-$tool-posix" >/dev/null 2>&1 || true
    fi
  done
done
