#!/usr/bin/env bash
# Runs the Windows-side integration test programs inside the current Wine prefix (set up by
# scripts/wine-env.sh), each with the built executables and stand-ins staged beside it.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=build/win
stage="$WINEPREFIX/drive_c/OrvantaTest"

stage_apps() {  # stand-in applications under the names the tests look for
  mkdir -p "$1/apps"
  cp "$build/standin_app.exe" "$1/apps/Chrome.exe"
  cp "$build/standin_app.exe" "$1/apps/ÜBER.EXE"
}

mkdir -p "$stage/My Tools" "$stage/routing"
cp "$build"/*.exe "$stage/"
cp "$build/routing/iphlpapi.dll" "$stage/routing/"
stage_apps "$stage"
cp "$build/amneziawg.exe" "$stage/My Tools/"
for variant in full no_format no_recv open_fails none system; do
  dir="$stage/divert-$variant"
  mkdir -p "$dir"
  cp "$build/sniffer_integration_tests.exe" "$build/routing/iphlpapi.dll" "$dir/"
  [ "$variant" = none ] || [ "$variant" = system ] || cp "$build/windivert/$variant/WinDivert.dll" "$dir/"
  stage_apps "$dir"
done

status=0
# The routing-table stand-in serves exactly what the helper imports from iphlpapi.dll, so a new
# import cannot reach Wine's own table behind the tests' back.
objdump=x86_64-w64-mingw32-objdump
imports=$($objdump -p "$build/OrvantaHelper.exe" | awk 'tolower($0) ~ /dll name: iphlpapi.dll/ {f = 1; next}
  /^$/ || /DLL Name/ {f = 0} f && NF == 3 {print $3}' | sort)
exports=$($objdump -p "$build/routing/iphlpapi.dll" | awk '/Ordinal\/Name Pointer/ {f = 1; next}
  /^$/ {f = 0} f {print $NF}' | sort)
echo "--- iphlpapi imports: $(echo $imports)"
if [ -z "$imports" ] || [ "$imports" != "$exports" ]; then
  echo "FAIL: the helper imports [$(echo $imports)] from iphlpapi.dll; the stand-in exports [$(echo $exports)]"
  status=1
fi
run() {  # windows path of the program, arguments...
  echo "--- $*"
  timeout 600 wine "$@" || status=1
  wineserver -w >/dev/null 2>&1 &  # let the programs' children settle
  wait
}
run 'C:\OrvantaTest\pipe_integration_tests.exe'
wineserver -k >/dev/null 2>&1  # the helper started by the pipe tests goes with its prefix's server
run 'C:\OrvantaTest\tunnel_integration_tests.exe'
run 'C:\OrvantaTest\helper_integration_tests.exe'
wineserver -k >/dev/null 2>&1
run 'C:\OrvantaTest\service_integration_tests.exe'
for variant in full no_format no_recv open_fails none; do
  run "C:\\OrvantaTest\\divert-$variant\\sniffer_integration_tests.exe" "$variant"
done
# Last, since every program of the prefix could load it from there.
cp "$build/windivert/open_fails/WinDivert.dll" "$WINEPREFIX/drive_c/windows/system32/"
run 'C:\OrvantaTest\divert-system\sniffer_integration_tests.exe' system
exit $status
