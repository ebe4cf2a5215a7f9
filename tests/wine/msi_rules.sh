#!/usr/bin/env bash
# Checks the installer package's tables for what Windows Installer demands and Wine's msiexec
# lets pass:   tests/wine/msi_rules.sh PACKAGE.msi
#   - every in-script (deferred, rollback, commit) custom action runs between InstallInitialize
#     and InstallFinalize (rule ICE77; Windows ends the install with error 2762 otherwise)
#   - no action runs --uninstall without a guard against a major upgrade, which would delete
#     the service the new version keeps
#   - a rollback action undoes the registration, sequenced before the action that runs --install
#   - the service's component and file keys are in place for the actions that run the helper
#   - on an upgrade, a running tunnel is stopped (by the helper installed in INSTALLDIR, never
#     a copy unpacked elsewhere) before the old version's files go, and started again only after the new files are in
#     place (or by a rollback), through the helper's note, never by a ServiceControl row
#   - the tunnel and its key are removed on removal only, before the files go
# Prints one line per rule and exits non-zero when one fails.
set -uo pipefail
package=$1
rows() { msiinfo export "$package" "$1" | tail -n +4 | tr -d '\r'; }  # without the 3 header lines
sequence=$(rows InstallExecuteSequence)
actions=$(rows CustomAction)
seq_of() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence"; }
condition_of() { awk -F'\t' -v a="$1" '$1 == a { print $2 }' <<<"$sequence"; }
initialize=$(seq_of InstallInitialize)
finalize=$(seq_of InstallFinalize)
failed=0
rule() {  # description, verdict (empty when kept, else what breaks it)
  if [ -z "$2" ]; then echo "ok    $1"; else echo "FAIL  $1: $2"; failed=1; fi
}

outside=""
unguarded=""
rollback=""
while IFS=$'\t' read -r action type source target _; do
  [ -n "$action" ] || continue
  at=$(seq_of "$action")
  if (( (type & 0x400) != 0 )) && { [ -z "$at" ] || (( at <= initialize || at >= finalize )); }; then
    outside+="$action at ${at:-none}; "
  fi
  if [[ "$target" == *--uninstall* ]]; then
    guard=$(condition_of "$action")
    [[ "$guard" =~ NOT\ (UPGRADINGPRODUCTCODE|WIX_UPGRADE_DETECTED) ]] || unguarded+="$action [$guard]; "
    (( (type & 0x500) == 0x500 )) && rollback="$action:$at"
  fi
  [[ "$target" == *--install* ]] && install="$action:$at:$source"
done <<<"$actions"

rule "in-script actions inside InstallInitialize ($initialize) ... InstallFinalize ($finalize)" "$outside"
rule "every action that runs --uninstall is guarded against a major upgrade" "$unguarded"
if [ -z "$rollback" ]; then
  rule "a rollback action undoes the registration before --install runs" "no in-script rollback action runs --uninstall"
else
  rule "a rollback action undoes the registration before --install runs" \
    "$( (( ${rollback#*:} < $(cut -d: -f2 <<<"${install:-x:0:}") )) || echo "${rollback%%:*} at ${rollback#*:} is not before ${install%%:*}")"
fi
helper=$(rows File | awk -F'\t' '$1 == "OrvantaHelperExe" { print $2 "|" $3 }')
keypath=$(rows Component | awk -F'\t' '$1 == "Helper" { print $6 }')
rule "the helper's file is the Helper component's key and the actions' source" \
  "$( [ "$helper" = "Helper|OrvantaHelper.exe" ] && [ "$keypath" = OrvantaHelperExe ] &&
      [ "$(cut -d: -f3 <<<"${install:-}")" = OrvantaHelperExe ] || echo "file [$helper], key [$keypath], install [${install:-none}]")"

# The tunnel around an upgrade and a removal.
remove_existing=$(seq_of RemoveExistingProducts)
install_files=$(seq_of InstallFiles)
remove_files=$(seq_of RemoveFiles)
verdict=""
stops=0
starts=0
removes=0
while IFS=$'\t' read -r action type source target _; do
  [ -n "$action" ] || continue
  at=$(seq_of "$action")
  guard=$(condition_of "$action")
  case "$target" in
    *--stop-tunnel-for-upgrade*)
      stops=$((stops + 1))
      (( at < remove_existing )) && [[ "$guard" == *WIX_UPGRADE_DETECTED* ]] &&
        [ "$source" = INSTALLDIR ] && [[ "$target" == '"[INSTALLDIR]OrvantaHelper.exe" '* ]] ||
        verdict+="$action at $at [$guard] from [$source] is not an upgrade's stop before $remove_existing; " ;;
    *--start-tunnel-after-upgrade*)
      starts=$((starts + 1))
      if (( (type & 0x100) != 0 )); then
        (( at < $(seq_of StopTunnelForUpgrade) )) || verdict+="rollback $action at $at is not before the stop; "
      else
        (( at > install_files )) || verdict+="$action at $at is not after InstallFiles ($install_files); "
      fi ;;
    *--remove-tunnel-and-key*)
      removes=$((removes + 1))
      (( at < remove_files )) && [[ "$guard" == *'REMOVE="ALL"'* && "$guard" == *"NOT UPGRADINGPRODUCTCODE"* ]] ||
        verdict+="$action at $at [$guard] is not a removal's step before RemoveFiles ($remove_files); " ;;
  esac
done <<<"$actions"
tunnel_controls=$(rows ServiceControl | awk -F'\t' '$2 ~ /AmneziaWGTunnel/ { print $1 }')
[ -z "$tunnel_controls" ] || verdict+="ServiceControl rows for the tunnel: $tunnel_controls; "
[ "$stops" -eq 1 ] && [ "$starts" -eq 2 ] || verdict+="$stops stops and $starts starts (want 1 and 2, one a rollback); "
rule "a running tunnel stops before an upgrade's files go and starts again only after, as noted" "$verdict"
rule "the tunnel and its key go on removal only, before the files" \
  "$( [ "$removes" -eq 1 ] || echo "$removes removal steps")"
exit $failed
