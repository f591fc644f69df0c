#!/usr/bin/env bash
# Runs a command in a Wine session of its own whose prefix is 32-bit, as 32-bit Windows is, on the display of the
# session it is started from (or a private X server without one). Used for the journey that plays the launcher
# there: win32_prefix.sh python3 tests/e2e/run_e2e.py --bin ... full_journey
set -euo pipefail
source "$(dirname "$0")/../../scripts/wine-session.sh"
VORN_WINEARCH=win32 vorn_wine_start
trap vorn_wine_stop EXIT
# A 64-bit prefix keeps its 32-bit system files in syswow64; a 32-bit one has none.
if [ -e "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "win32_prefix.sh: Wine made a 64-bit prefix in $WINEPREFIX" >&2
  exit 1
fi
"$@"
