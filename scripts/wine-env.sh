# Sourced by the scripts that run Windows programs: a throw-away Wine prefix that is ended
# and removed when the calling script exits.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/orvanta-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

wine_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap wine_cleanup EXIT

wineboot -i >/dev/null 2>&1
# An OrvantaHelper.exe (and the sniffer's test program, which links the helper's code) loads
# the stand-in iphlpapi.dll (a scripted routing table) from beside it where one is staged;
# Wine's own neither keeps routes nor knows interface metrics.
for program in OrvantaHelper.exe sniffer_integration_tests.exe; do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$program\\DllOverrides" /v iphlpapi \
    /d native,builtin /f >/dev/null 2>&1
done
wineserver -w  # let the first boot finish its set-up before anything starts services
# Paths inside the prefix, as Linux sees them.
WINE_PROGRAMDATA="$WINEPREFIX/drive_c/ProgramData"
