#!/usr/bin/env bash
# Builds the Windows installer package build/OrvantaHelper-<version>-x64.msi with wixl.
#   scripts/package.sh [--amneziawg FILE] [--windivert DIR] [--version X.Y.Z] [--wxs FILE]
#                      [--sign CERT.pfx [--password-file FILE] [--timestamp URL] [--ca-file FILE]]
# --amneziawg FILE   AmneziaWG's amneziawg.exe, installed as awg\amneziawg.exe
# --windivert DIR    a folder with WinDivert.dll and WinDivert64.sys, installed beside the helper
# --version X.Y.Z    build the executables and the package with another version than the
#                    project's (for testing an upgrade; releases use the project's version)
# --wxs FILE         another WiX source than packaging/OrvantaHelper.wxs (the tests' variants)
# --sign CERT.pfx    sign OrvantaHelper.exe and OrvantaCtl.exe before they are packaged, and the
#                    package after, with osslsigncode (SHA-256), and verify each signature
# --password-file F  the certificate's password (its first line); none without it
# --timestamp URL    an RFC 3161 timestamp server, so signatures outlive the certificate
# --ca-file FILE     the CA certificates to verify against (a test's own); else the system's
# wixl takes source paths relative to the working directory, the repository here.
# The outside programs are not ours to ship: without them the package holds the helper and
# OrvantaCtl only, and they are added by hand (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
defines=()
version=""
wxs=packaging/OrvantaHelper.wxs
output=""
sign=""
password_file=""
timestamp=""
ca_file=/etc/ssl/certs/ca-certificates.crt
usage="usage: scripts/package.sh [--amneziawg FILE] [--windivert DIR] [--version X.Y.Z] [--wxs FILE] [--sign CERT.pfx [--password-file FILE] [--timestamp URL] [--ca-file FILE]]"
while [ $# -gt 0 ]; do
  case "$1" in
    --amneziawg) defines+=(-D "AmneziaWG=$(realpath --relative-to=. "$2")"); shift 2 ;;
    --windivert) defines+=(-D "WinDivertDir=$(realpath --relative-to=. "$2")"); shift 2 ;;
    --version) version=$2; shift 2 ;;
    --wxs) wxs=$2; output=-$(basename "$2" .wxs); shift 2 ;;
    --sign) sign=$(realpath "$2"); shift 2 ;;
    --password-file) password_file=$(realpath "$2"); shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --ca-file) ca_file=$(realpath "$2"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
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

# Signs a file in place and verifies the signature; osslsigncode writes a new file, so a failed
# signing leaves the original untouched.
sign_file() {  # file
  local args=(sign -pkcs12 "$sign" -h sha256 -n "Orvanta Helper" -in "$1" -out "$1.signed")
  [ -n "$password_file" ] && args+=(-readpass "$password_file")
  [ -n "$timestamp" ] && args+=(-ts "$timestamp")
  osslsigncode "${args[@]}" >/dev/null || { rm -f "$1.signed"; echo "signing $1 failed" >&2; return 1; }
  mv "$1.signed" "$1"
  osslsigncode verify -CAfile "$ca_file" -in "$1" >/dev/null || { echo "signature of $1 does not verify" >&2; return 1; }
}
if [ -n "$sign" ]; then
  # Signed copies, so the build's own outputs stay as the linker wrote them.
  signed=$build/signed
  mkdir -p "$signed"
  cp "$build/OrvantaHelper.exe" "$build/OrvantaCtl.exe" "$signed/"
  sign_file "$signed/OrvantaHelper.exe"
  sign_file "$signed/OrvantaCtl.exe"
  build=$signed
fi

package="build/OrvantaHelper-$version-x64$output.msi"
: >"$build/removal-placeholder"  # the removal folder's files, empty while unused
wixl -a x64 -D "Version=$version" -D "BuildDir=$build" "${defines[@]}" -o "$package" "$wxs"
# wixl writes a rollback action without its in-script and rollback bits (2130): give each the
# type Windows Installer expects of a deferred rollback action run as LocalSystem, 3410 =
# file-based executable (18) + ignore its exit code (64) + rollback (256) + in-script (1024) +
# no impersonation (2048).
msibuild "$package" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'RollBackRegistration' OR Action = 'RollBackTunnelStop' OR Action = 'RollBackKeyRemoval' OR Action = 'RollBackUnregistration'"
[ -z "$sign" ] || sign_file "$package"  # last: any later change to the package would break it
echo "$package"
