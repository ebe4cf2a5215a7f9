#!/usr/bin/env bash
# Builds the Windows installer package build/OrvantaHelper-<version>-x64.msi with wixl.
#   scripts/package.sh [--amneziawg FILE] [--windivert DIR] [--version X.Y.Z] [--wxs FILE]
# --amneziawg FILE   AmneziaWG's amneziawg.exe, installed as awg\amneziawg.exe
# --windivert DIR    a folder with WinDivert.dll and WinDivert64.sys, installed beside the helper
# --version X.Y.Z    build the executables and the package with another version than the
#                    project's (for testing an upgrade; releases use the project's version)
# --wxs FILE         another WiX source than packaging/OrvantaHelper.wxs (the tests' variants)
# wixl takes source paths relative to the working directory, the repository here.
# The outside programs are not ours to ship: without them the package holds the helper and
# OrvantaCtl only, and they are added by hand (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
defines=()
version=""
wxs=packaging/OrvantaHelper.wxs
output=""
while [ $# -gt 0 ]; do
  case "$1" in
    --amneziawg) defines+=(-D "AmneziaWG=$(realpath --relative-to=. "$2")"); shift 2 ;;
    --windivert) defines+=(-D "WinDivertDir=$(realpath --relative-to=. "$2")"); shift 2 ;;
    --version) version=$2; shift 2 ;;
    --wxs) wxs=$2; output=-$(basename "$2" .wxs); shift 2 ;;
    *) echo "usage: scripts/package.sh [--amneziawg FILE] [--windivert DIR] [--version X.Y.Z] [--wxs FILE]" >&2; exit 2 ;;
  esac
done
scripts/setup.sh

build=build/win
if [ -n "$version" ]; then
  build=build/win-$version
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  ${version:+-DORVANTA_VERSION="$version"} --no-warn-unused-cli >/dev/null
cmake --build "$build" -j "$(nproc)" --target OrvantaHelper OrvantaCtl >/dev/null
version=$(sed -n 's/^#define ORVANTA_VERSION_STRING "\(.*\)"$/\1/p' "$build/generated/orvanta_version.h")

package="build/OrvantaHelper-$version-x64$output.msi"
wixl -a x64 -D "Version=$version" -D "BuildDir=$build" "${defines[@]}" -o "$package" "$wxs"
# wixl writes a rollback action without its in-script and rollback bits (2130): give it the
# type Windows Installer expects of a deferred rollback action run as LocalSystem, 3410 =
# file-based executable (18) + ignore its exit code (64) + rollback (256) + in-script (1024) +
# no impersonation (2048).
msibuild "$package" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'RollBackRegistration'"
echo "$package"
