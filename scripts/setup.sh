#!/usr/bin/env bash
# Installs what building and testing the helper needs on Debian 12, skipping what is there.
set -euo pipefail

packages=(cmake g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev g++-mingw-w64-x86-64 wine wine64 wixl msitools osslsigncode openssl)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "installing: ${missing[*]}"
run_as_root apt-get update -qq
run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
