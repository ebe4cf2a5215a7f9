#!/usr/bin/env bash
# The helper's main job, end to end under Wine: installs OrvantaHelper.exe with the stand-in
# amneziawg.exe (awg\) and WinDivert.dll beside it in a throw-away prefix, starts it with
# --console, drives it through the real named pipe with OrvantaCtl.exe (split list, connect,
# status, a listed application's connection replayed through the stand-in WinDivert.dll,
# disconnect; the split status before and after the connections and after the disconnect), prints each request and reply, the stand-in's journals and the helper's log, and
# shuts everything down.
# With --service the helper runs as an installed service in Wine's service manager
# (OrvantaHelper.exe --install, and --uninstall at the end) instead of --console.
set -euo pipefail
mode=${1:---console}
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --windows-only >/dev/null
source scripts/wine-env.sh

install_dir="$WINEPREFIX/drive_c/Orvanta"
mkdir -p "$install_dir/awg"
cp build/win/OrvantaHelper.exe build/win/OrvantaCtl.exe build/win/windivert/full/WinDivert.dll "$install_dir/"
cp build/win/amneziawg.exe "$install_dir/awg/"
cp build/win/standin_app.exe "$install_dir/Chrome.exe"  # an application to split
# The stand-in routing table: Wine's own keeps no routes and knows no interface metrics.
cp build/win/routing/iphlpapi.dll "$install_dir/"
printf '0.0.0.0 0.0.0.0 192.168.1.1 7 35\n192.168.1.0 255.255.255.0 0.0.0.0 7 35\n' \
  >"$install_dir/routes-table.txt"
printf '7 25\n' >"$install_dir/routes-metrics.txt"
printf '::/0 fe80::1 7 256\n2001:db8:1::/64 :: 7 256\n' >"$install_dir/routes6-table.txt"
printf '7 10\n' >"$install_dir/routes6-metrics.txt"
printf '192.168.1.5/24 7\n2001:db8:1::5/64 7\n' >"$install_dir/addresses-table.txt"
printf '[Interface]\nPrivateKey = c2FtcGxlIGtleSwgbm90IGEgcmVhbCBvbmU=\nAddress = 10.8.0.2/32\n' \
  >"$install_dir/sample.conf"
# A --console helper here runs as the Wine user, not as LocalSystem: skip the client's check
# that the pipe is served by the OrvantaHelper service (kept on in --service mode).
verify=(--no-verify)
[ "$mode" = --service ] && verify=()
ctl() { wine 'C:\Orvanta\OrvantaCtl.exe' "${verify[@]}" "$@"; }

if [ "$mode" = --service ]; then
  echo "> OrvantaHelper.exe --install"
  wine 'C:\Orvanta\OrvantaHelper.exe' --install && echo "< exit code 0"
else
  wine 'C:\Orvanta\OrvantaHelper.exe' --console &
fi
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
ask 'splitstatus' splitstatus
ask 'connect <Base64 of C:\Orvanta\sample.conf>' connect 'C:\Orvanta\sample.conf'
ask 'status' status
ask 'splitstatus' splitstatus

# Chrome.exe connects to 198.51.100.7 and to 2606:4700::1111: the stand-in WinDivert.dll reports
# the socket events, as WinDivert would, and the helper makes a bypass route for each.
wine 'C:\Orvanta\Chrome.exe' 'C:\Orvanta\chrome.pid' >/dev/null 2>&1 &
for _ in $(seq 100); do [ -s "$install_dir/chrome.pid" ] && break; sleep 0.1; done
chrome_pid=$(tr -d '\r\n' <"$install_dir/chrome.pid")
echo "(Chrome.exe, process $chrome_pid, connects to 198.51.100.7 and to 2606:4700::1111)"
printf '4 %s 198.51.100.7\n4 %s 2606:4700::1111\n' "$chrome_pid" "$chrome_pid" >>"$install_dir/divert-events.txt"
for _ in $(seq 100); do
  grep -q create "$install_dir/routes-journal.txt" 2>/dev/null &&
    grep -q create6 "$install_dir/routes6-journal.txt" 2>/dev/null && break
  sleep 0.1
done
ask 'splitstatus' splitstatus
ask 'disconnect' disconnect
ask 'status' status
ask 'splitstatus' splitstatus
ask 'connect <not Base64>' raw 'connect not*base64\n'
ask '(empty line)' raw '\n'

if [ "$mode" = --service ]; then
  echo "> OrvantaHelper.exe --uninstall"
  wine 'C:\Orvanta\OrvantaHelper.exe' --uninstall && echo "< exit code 0"
  wineserver -w  # the stopped service writes its last line
fi

wine taskkill /f /im Chrome.exe >/dev/null 2>&1 || true
echo "--- stand-in routing table journal (every route created or deleted)"
cat "$install_dir/routes-journal.txt" 2>/dev/null || echo "(none)"
echo "--- stand-in IPv6 routing table journal"
cat "$install_dir/routes6-journal.txt" 2>/dev/null || echo "(none)"
echo "--- stand-in amneziawg.exe journal (every command line it was run with)"
cat "$install_dir/awg/amneziawg-journal.txt"
# A service gets Wine's system environment, whose ProgramData may differ from ours.
log=$(find "$WINEPREFIX/drive_c" -path '*/Orvanta/helper.log' | head -n 1)
echo "--- helper.log (${log#"$WINEPREFIX/drive_c/"})"
tr -d '\r' <"$log"
