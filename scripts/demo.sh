#!/usr/bin/env bash
# The helper's main job, end to end under Wine: installs OrvantaHelper.exe with the stand-in
# amneziawg.exe (awg\) and WinDivert.dll beside it in a throw-away prefix, starts it with
# --console, drives it through the real named pipe with OrvantaCtl.exe (split list, connect,
# status, disconnect), prints each request and reply, the stand-in's journal and the helper's
# log, and shuts everything down.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --windows-only >/dev/null
source scripts/wine-env.sh

install_dir="$WINEPREFIX/drive_c/Orvanta"
mkdir -p "$install_dir/awg"
cp build/win/OrvantaHelper.exe build/win/OrvantaCtl.exe build/win/windivert/full/WinDivert.dll "$install_dir/"
cp build/win/amneziawg.exe "$install_dir/awg/"
printf '[Interface]\nPrivateKey = c2FtcGxlIGtleSwgbm90IGEgcmVhbCBvbmU=\nAddress = 10.8.0.2/32\n' \
  >"$install_dir/sample.conf"
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
ask 'splitapps Chrome.exe; firefox.exe' splitapps 'Chrome.exe; firefox.exe'
ask 'connect <Base64 of C:\Orvanta\sample.conf>' connect 'C:\Orvanta\sample.conf'
ask 'status' status
ask 'disconnect' disconnect
ask 'status' status
ask 'connect <not Base64>' raw 'connect not*base64\n'
ask '(empty line)' raw '\n'

echo "--- stand-in amneziawg.exe journal (every command line it was run with)"
cat "$install_dir/awg/amneziawg-journal.txt"
echo "--- helper.log (C:\\ProgramData\\Orvanta\\helper.log)"
tr -d '\r' <"$WINE_PROGRAMDATA/Orvanta/helper.log"
