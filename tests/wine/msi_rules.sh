#!/usr/bin/env bash
# Checks the installer package's tables for what Windows Installer demands and Wine's msiexec
# lets pass:   tests/wine/msi_rules.sh PACKAGE.msi
#   - every in-script (deferred, rollback, commit) custom action runs between InstallInitialize
#     and InstallFinalize (rule ICE77; Windows ends the install with error 2762 otherwise)
#   - no action runs --uninstall without a guard against a major upgrade, which would delete
#     the service the new version keeps
#   - a rollback action undoes the registration, sequenced before the action that runs --install
#   - the service's component and file keys are in place for the actions that run the helper
#   - RemoveExistingProducts where Microsoft's ICE63 allows it (an upgrade fails otherwise)
#   - a running tunnel is stopped for an upgrade only by the old version's own removal, once its
#     service has stopped and before its files go, and started again only after the new files
#     are in place (or by a rollback), through the helper's note, never by a ServiceControl row
#   - the tunnel and its key are removed on removal only, once the service has stopped and
#     before the files go, and rollback actions bring them and then the service back; the key is
#     set aside among the package's own files, which RemoveFiles takes (and restores on a
#     rollback)
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
  [[ "$target" == *--install* ]] && (( (type & 0x100) == 0 )) && install="$action:$at:$source"
  [[ "$target" == *--install* ]] && (( (type & 0x100) != 0 )) && reregister="$action:$at:$(condition_of "$action"):$type:$source"
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

# ICE63: RemoveExistingProducts between InstallValidate and InstallInitialize; or after
# InstallInitialize, or right after InstallExecute / InstallExecuteAgain and before
# InstallFinalize, with no action between that writes to the script; or after InstallFinalize.
# An action writes to the script when it is a custom action with the in-script bit (deferred,
# rollback, commit), or a standard action other than the few that only decide or cost.
declare -A action_types
while IFS=$'\t' read -r action type _; do [ -n "$action" ] && action_types[$action]=$type; done <<<"$actions"
scriptless=" AppSearch CCPSearch CostFinalize CostInitialize FileCost FindRelatedProducts
  InstallExecute InstallExecuteAgain InstallValidate IsolateComponents LaunchConditions
  MigrateFeatureStates ResolveSource RMCCPSearch ScheduleReboot ValidateProductID "
writes_script() {  # action
  if [ -n "${action_types[$1]:-}" ]; then (( (${action_types[$1]} & 0x400) != 0 )); else [[ "$scriptless" != *[[:space:]]$1[[:space:]]* ]]; fi
}
writers_between() {  # low, high (exclusive): the actions there that write to the script
  awk -F'\t' -v lo="$1" -v hi="$2" '$3 != "" && $3 + 0 > lo && $3 + 0 < hi { print $1 }' <<<"$sequence" |
    while read -r action; do writes_script "$action" && printf '%s ' "$action"; done
}
remove_existing=$(seq_of RemoveExistingProducts)
validate=$(seq_of InstallValidate)
ice63="RemoveExistingProducts at ${remove_existing:-none}"
if [ -z "$remove_existing" ]; then
  ice63=""
elif (( remove_existing > validate && remove_existing < initialize )) || (( remove_existing > finalize )); then
  ice63=""
elif (( remove_existing > initialize && remove_existing < finalize )); then
  after=$initialize
  for execute in InstallExecute InstallExecuteAgain; do
    at=$(seq_of "$execute")
    [ -n "$at" ] && (( at < remove_existing && at > after )) && after=$at
  done
  between=$(writers_between "$after" "$remove_existing")
  [ -z "$between" ] && ice63="" || ice63+=" follows script-writing actions: $between"
fi
rule "RemoveExistingProducts where ICE63 allows it" "$ice63"

# The tunnel around an upgrade and a removal.
install_files=$(seq_of InstallFiles)
remove_files=$(seq_of RemoveFiles)
stop_services=$(seq_of StopServices)
helper_run() {  # type, source: an in-script run of the installed helper's file, as LocalSystem
  (( ($1 & 0x3F) == 18 && ($1 & 0xC00) == 0xC00 )) && [ "$2" = OrvantaHelperExe ]
}
verdict=""
removal=""
stops=0
starts=0
removes=0
restores=0
while IFS=$'\t' read -r action type source target _; do
  [ -n "$action" ] || continue
  at=$(seq_of "$action")
  guard=$(condition_of "$action")
  rolls_back=$(( (type & 0x100) != 0 ))
  case "$target" in
    *--stop-tunnel-for-upgrade*)
      stops=$((stops + 1))
      stop_at=$at stop_guard=$guard
      (( !rolls_back && at > stop_services && at < remove_files )) && helper_run "$type" "$source" &&
        [[ "$guard" == *'REMOVE="ALL"'* && "$guard" == *UPGRADINGPRODUCTCODE* && "$guard" != *"NOT UPGRADINGPRODUCTCODE"* ]] ||
        verdict+="$action at $at [$guard] is not the old version's stop between StopServices ($stop_services) and RemoveFiles ($remove_files); " ;;
    *--start-tunnel-after-upgrade*)
      starts=$((starts + 1))
      if (( rolls_back )); then
        rollback_start="$action:$at:$guard:$type:$source"
      else
        (( at > install_files )) && [[ "$guard" == *WIX_UPGRADE_DETECTED* ]] ||
          verdict+="$action at $at [$guard] is not an upgrade's start after InstallFiles ($install_files); "
      fi ;;
    *--remove-tunnel-and-key*)
      removes=$((removes + 1))
      remove_at=$at remove_guard=$guard
      (( !rolls_back && at > stop_services && at < remove_files )) && helper_run "$type" "$source" &&
        [[ "$guard" == *'REMOVE="ALL"'* && "$guard" == *"NOT UPGRADINGPRODUCTCODE"* ]] ||
        removal+="$action at $at [$guard] is not a removal's step between StopServices ($stop_services) and RemoveFiles ($remove_files); " ;;
    *--restore-tunnel-and-key*)
      restores=$((restores + 1))
      restore_at=$at
      restore="$action:$at:$guard:$type:$source" ;;
  esac
done <<<"$actions"
# A rollback action runs only when what follows it in the script is undone: each sits before
# the step it undoes, under the same guard.
undoes() {  # rollback's "action:at:guard:type:source", step's sequence, step's guard
  local action at guard type source
  IFS=: read -r action at guard type source <<<"$1"
  (( (type & 0x500) == 0x500 && at < $2 )) && [ "$guard" = "$3" ] && helper_run "$type" "$source"
}
[ "$stops" -eq 1 ] && [ "$starts" -eq 2 ] || verdict+="$stops stops and $starts starts (want 1 and 2, one a rollback); "
[ "$stops" -eq 1 ] && { undoes "${rollback_start:-}" "$stop_at" "$stop_guard" ||
  verdict+="no rollback before the stop starts the tunnel again [${rollback_start:-}]; "; }
tunnel_controls=$(rows ServiceControl | awk -F'\t' '$2 ~ /AmneziaWGTunnel/ { print $1 }')
[ -z "$tunnel_controls" ] || verdict+="ServiceControl rows for the tunnel: $tunnel_controls; "
rule "a running tunnel stops for an upgrade only in the old version's removal, and starts after the files, as noted" "$verdict"
[ "$removes" -eq 1 ] || removal+="$removes removal steps; "
rule "the tunnel and its key go on removal only, after StopServices and before the files" "$removal"

# The key's removal undone: a rollback action before the removal, and the files it is set aside
# into are the package's own, in INSTALLDIR\removal, so RemoveFiles takes them (for good at the
# commit, at once when rollback is disabled) and a rollback restores them first.
set_aside=$(rows File | awk -F'\t' '{ print $2 "|" $3 }' | sort | tr '\n' ' ')
removal_dir=$(rows Directory | awk -F'\t' '$2 == "INSTALLDIR" && $3 == "removal" { print $1 }')
removal_component=$(rows Component | awk -F'\t' -v d="$removal_dir" '$3 == d { print $1 }')
rolled=""
[ "$restores" -eq 1 ] && [ "$removes" -eq 1 ] && undoes "${restore:-}" "${remove_at:-0}" "${remove_guard:-}" ||
  rolled+="$restores restore steps, not a rollback before the removal [${restore:-}]; "
undoes "${reregister:-}" "$(seq_of UnregisterService)" "$(condition_of UnregisterService)" &&
  [ "$(cut -d: -f2 <<<"${reregister:-}")" -lt "${restore_at:-0}" ] ||
  rolled+="no rollback registers the service again after the key is back [${reregister:-}]; "
for name in Orvanta.conf helper.state helper.memory tunnel.reinstall; do
  [[ " $set_aside" == *" $removal_component|$name "* ]] || rolled+="no $name in INSTALLDIR\\removal; "
done
rule "a rollback brings the tunnel, its key and the service back; the key is set aside among the package's files" "$rolled"
exit $failed
