#!/usr/bin/env bash
# The helper's main job, end to end under Wine: starts OrvantaHelper.exe --console in a
# throw-away prefix, sends requests through the real named pipe with OrvantaCtl.exe, prints
# each request and reply, then the helper's log, and shuts everything down.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --windows-only >/dev/null
source scripts/wine-env.sh

install_dir="$WINEPREFIX/drive_c/Orvanta"
mkdir -p "$install_dir"
cp build/win/OrvantaHelper.exe build/win/OrvantaCtl.exe "$install_dir/"
ctl() { wine 'C:\Orvanta\OrvantaCtl.exe' "$@"; }

wine 'C:\Orvanta\OrvantaHelper.exe' --console &
ctl --wait-ms 30000 ping >/dev/null  # waits until the pipe is there

ask() {
  printf '> %s\n' "$1"
  shift
  reply=$(ctl "$@" 2>&1) || true
  printf '< %s\n' "${reply//$'\r'/}"
}
ask 'ping' ping
ask 'PING extra words' raw 'PING extra words\n'
ask 'status' status
ask '(empty line)' raw '\n'

echo "--- helper.log (C:\\ProgramData\\Orvanta\\helper.log)"
cat "$WINE_PROGRAMDATA/Orvanta/helper.log" 2>/dev/null || echo "(empty: the foreground mode writes no line of its own)"
