#!/usr/bin/env bash
# Builds the launcher and runs it under Wine. With a display it opens there and runs until you close it;
# without one it runs under a private Xvfb, saves a screenshot to out/launcher.png and closes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh x86_64
mkdir -p out/client
cp build/x86_64/bin/VornLauncher.exe out/client/

source scripts/wine-session.sh
headless=0
[ -z "${DISPLAY:-}" ] && headless=1
vorn_wine_start
trap vorn_wine_stop EXIT
if [ $headless = 0 ]; then
  wine out/client/VornLauncher.exe
  exit 0
fi
wine out/client/VornLauncher.exe </dev/null >/dev/null 2>&1 &
launcher=$!
sleep 5
import -window root out/launcher.png
echo "screenshot: $PWD/out/launcher.png"
wineserver -k >/dev/null 2>&1 || true
wait $launcher 2>/dev/null || true
