#!/usr/bin/env bash
# Runs the Windows-side integration test programs inside the current Wine prefix (set up by
# scripts/wine-env.sh). Each program gets the built executables copied beside it.
set -uo pipefail
cd "$(dirname "$0")/../.."
stage="$WINEPREFIX/drive_c/OrvantaTest"
mkdir -p "$stage"
cp build/win/*.exe "$stage/"
status=0
for program in pipe_integration_tests; do
  echo "--- $program"
  timeout 600 wine "C:\\OrvantaTest\\$program.exe" || status=1
  wineserver -k >/dev/null 2>&1  # nothing of one program outlives it
done
exit $status
