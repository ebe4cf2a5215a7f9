#!/usr/bin/env bash
# Builds the Windows executables (cross, with mingw-w64) and the native unit tests.
# Outputs: build/win/OrvantaHelper.exe, build/win/OrvantaCtl.exe, build/native/unit_tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null
cmake --build build/win -j "$jobs"

if [ "${1:-}" != "--windows-only" ]; then
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build/native -j "$jobs"
fi
