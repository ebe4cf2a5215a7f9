#!/usr/bin/env bash
# The helper's speed under Wine, each figure beside a baseline measured in the same run, in
# alternating rounds (ROUNDS, default 5) whose medians are reported, since the machine is
# noisy. Not part of the test run. Prints a table and a one-line summary.
#   sequential ping    helper --console vs a bare one-instance server (bench/bare_server.cpp)
#   sequential status  helper (one service-manager query each) vs the bare server's ping
#   8 clients at once  200 pings each, helper vs bare server; every reply accounted for
#   stop latency       service stop, idle and with the sniffer waiting, vs stopping the
#                      stand-in tunnel service (a service that does nothing)
#   connect/disconnect helper vs the stand-in tunnel program's install (until running, timed in
#                      one process) and uninstall run directly, with a start delay of 0 and
#                      200 ms
#   route burst        200 listed connects to 200 new addresses at once: bypass routes per
#                      second, vs the same number of rows created in the stand-in routing
#                      table directly; for IPv4 and for IPv6
#   open connections   a splitapps request that adds an application while splitting runs,
#                      with 1,000 established TCP connections in the table vs with none: the
#                      difference is the reading of the tables, of which the stand-in's own
#                      reading (probe and read of both families, timed directly) is shown apart
#   routes made ahead  a listed application connects to 50 servers, then to the same 50 at once
#                      after a disconnect and a connect, and 1 s after another: the share of its
#                      connects that found their route already made, in each pass (made ahead
#                      from the route memory; information only)
#   soak               10,000 sequential pings: the helper's handles and resident memory
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
scripts/setup.sh
scripts/build.sh --windows-only >/dev/null
source scripts/wine-env.sh
# The measuring client creates rows in the stand-in routing table too, for the baseline.
wine reg add 'HKCU\Software\Wine\AppDefaults\bench_client.exe\DllOverrides' /v iphlpapi \
  /d native,builtin /f >/dev/null 2>&1

dir="$WINEPREFIX/drive_c/Bench"
win='C:\Bench'
mkdir -p "$dir/awg"
cp build/win/OrvantaHelper.exe build/win/bench_client.exe build/win/bench_bare_server.exe \
  build/win/windivert/full/WinDivert.dll build/win/routing/iphlpapi.dll "$dir/"
cp build/win/amneziawg.exe "$dir/awg/"
cp build/win/standin_app.exe "$dir/Chrome.exe"
printf '0.0.0.0 0.0.0.0 192.168.1.1 7 35\n' >"$dir/routes-table.txt"
printf '7 25\n' >"$dir/routes-metrics.txt"
printf '::/0 fe80::1 7 256\n2001:db8:1::/64 :: 7 256\n' >"$dir/routes6-table.txt"
printf '7 10\n' >"$dir/routes6-metrics.txt"
printf '2001:db8:1::5/64 7\n' >"$dir/addresses-table.txt"
printf '[Interface]\nPrivateKey = YmVuY2g=\n' >"$dir/Orvanta.conf"
config=$(base64 -w0 "$dir/Orvanta.conf")

bc() { wine "$win\\bench_client.exe" "$@" 2>/dev/null | tr -d '\r'; }
serve() {  # program, arguments...: starts it and waits until its pipe answers
  wine "$win\\$1" "${@:2}" >/dev/null 2>&1 &
  bc ping 1 >/dev/null
}
end() { wine taskkill /f /im "$1" >/dev/null 2>&1 || true; sleep 0.5; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
declare -A samples
add() { samples[$1]+="$2"$'\n'; }
med() { printf '%s' "${samples[$1]}" | median; }

echo "rounds: $rounds"
for round in $(seq "$rounds"); do
  serve bench_bare_server.exe
  add bare_ping "$(bc ping 500)"
  add bare_parallel "$(bc parallel 8 200 | head -n 1)"
  end bench_bare_server.exe
  : >"$dir/divert-events.txt"  # a new helper replays the stand-in's events from the start
  serve OrvantaHelper.exe --console
  add helper_ping "$(bc ping 500)"
  add helper_status "$(bc status 200)"
  mapfile -t parallel < <(bc parallel 8 200)
  add helper_parallel "${parallel[0]}"
  add lost "${parallel[1]}"
  for delay in 0 200; do
    printf 'start_delay_ms=%s\n' "$delay" >"$dir/awg/amneziawg-knobs.txt"
    add direct_up_$delay "$(bc up 'AmneziaWGTunnel$Orvanta' "$win\\awg\\amneziawg.exe" \
      /installtunnelservice "\"$win\\Orvanta.conf\"")"
    add direct_down_$delay "$(bc run "$win\\awg\\amneziawg.exe" /uninstalltunnelservice Orvanta)"
    add helper_up_$delay "$(bc time "connect $config" | cut -d' ' -f1)"
    add helper_down_$delay "$(bc time disconnect | cut -d' ' -f1)"
  done
  : >"$dir/awg/amneziawg-knobs.txt"
  bc time "splitapps chrome.exe" >/dev/null
  bc time "connect $config" >/dev/null
  # Before the bursts: the routing stand-in compares its tables every 20 ms, so held routes
  # slow down everything else in the helper's process.
  for _ in 1 2 3; do
    add scan_1000 "$(bc scan 1000)"
    add tcp_read_1000 "$(bc tcpread)"
    add scan_0 "$(bc scan 0)"
  done
  add helper_burst "$(bc burst 200)"
  bc time "splitapps ;" >/dev/null  # each family's burst starts with no route held
  bc time splitforget >/dev/null    # and none made ahead
  bc time "splitapps chrome.exe" >/dev/null
  add helper_burst6 "$(bc burst6 200)"
  bc time splitforget >/dev/null
  mapfile -t ahead < <(bc ahead 50 "$config")
  add ahead_first "${ahead[0]}"
  add ahead_at_once "${ahead[1]}"
  add ahead_later "${ahead[2]}"
  bc time disconnect >/dev/null  # the helper's routes go
  add direct_routes "$(bc routes 200)"
  add direct_routes6 "$(bc routes6 200)"
  end OrvantaHelper.exe
  echo "round $round done"
done

# Stops of the installed service, helper idle and with the sniffer waiting on the stand-in.
: >"$dir/divert-events.txt"
for round in $(seq "$rounds"); do
  wine "$win\\OrvantaHelper.exe" --install >/dev/null 2>&1
  bc ping 1 >/dev/null
  add stop_idle "$(bc stop OrvantaHelper)"
  wine "$win\\OrvantaHelper.exe" --install >/dev/null 2>&1
  bc ping 1 >/dev/null
  bc time "splitapps chrome.exe" >/dev/null
  bc time "connect $config" >/dev/null
  add stop_sniffer "$(bc stop OrvantaHelper)"
  add stop_baseline "$(bc stop 'AmneziaWGTunnel$Orvanta')"
done
wine "$win\\OrvantaHelper.exe" --uninstall >/dev/null 2>&1 || true

# Soak: handles and resident memory of the helper before and after 10,000 requests.
serve OrvantaHelper.exe --console
bc ping 200 >/dev/null
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$(pgrep -f 'OrvantaHelper.exe --console' | head -n 1)/status"; }
handles_before=$(bc handles)
rss_before=$(rss)
bc ping 10000 >/dev/null
handles_after=$(bc handles)
rss_after=$(rss)
end OrvantaHelper.exe

ping_ratio=$(ratio "$(med helper_ping)" "$(med bare_ping)")
printf '\n| measure | helper | baseline | ratio |\n|---|---|---|---|\n'
printf '| sequential ping, requests/s | %s | %s (bare server) | %s |\n' "$(med helper_ping)" "$(med bare_ping)" "$ping_ratio"
printf '| sequential status, requests/s | %s | %s (bare server, ping) | %s |\n' "$(med helper_status)" "$(med bare_ping)" "$(ratio "$(med helper_status)" "$(med bare_ping)")"
printf '| 8 clients x 200 pings, requests/s | %s | %s (bare server) | %s |\n' "$(med helper_parallel)" "$(med bare_parallel)" "$(ratio "$(med helper_parallel)" "$(med bare_parallel)")"
printf '| replies not accounted for (8 x 200, all rounds) | %s | | |\n' "$(printf '%s' "${samples[lost]}" | awk '{ s += $1 } END { print s }')"
printf '| stop, idle, ms | %s | %s (stand-in service) | %s |\n' "$(med stop_idle)" "$(med stop_baseline)" "$(ratio "$(med stop_idle)" "$(med stop_baseline)")"
printf '| stop, sniffer waiting, ms | %s | %s (stand-in service) | %s |\n' "$(med stop_sniffer)" "$(med stop_baseline)" "$(ratio "$(med stop_sniffer)" "$(med stop_baseline)")"
for delay in 0 200; do
  printf '| connect, start delay %s ms, ms | %s | %s (install + until running) | +%s ms |\n' "$delay" "$(med helper_up_$delay)" "$(med direct_up_$delay)" "$(awk -v a="$(med helper_up_$delay)" -v b="$(med direct_up_$delay)" 'BEGIN { printf "%.0f", a - b }')"
  printf '| disconnect, start delay %s ms, ms | %s | %s (uninstall) | +%s ms |\n' "$delay" "$(med helper_down_$delay)" "$(med direct_down_$delay)" "$(awk -v a="$(med helper_down_$delay)" -v b="$(med direct_down_$delay)" 'BEGIN { printf "%.0f", a - b }')"
done
printf '| burst of 200 listed connects, routes/s | %s | %s (routing stand-in alone) | %s |\n' "$(med helper_burst)" "$(med direct_routes)" "$(ratio "$(med helper_burst)" "$(med direct_routes)")"
printf '| burst of 200 listed IPv6 connects, routes/s | %s | %s (routing stand-in alone) | %s |\n' "$(med helper_burst6)" "$(med direct_routes6)" "$(ratio "$(med helper_burst6)" "$(med direct_routes6)")"
printf '| splitapps adding an application, 1,000 open connections, ms | %s | %s (no connection) | +%s ms |\n' "$(med scan_1000)" "$(med scan_0)" "$(awk -v a="$(med scan_1000)" -v b="$(med scan_0)" 'BEGIN { printf "%.2f", a - b }')"
printf '| of which the TCP table stand-in itself, 1,000 rows, ms | %s | | |\n' "$(med tcp_read_1000)"
printf '| 50 servers, connects that found their route made: first pass, %% | %s | 0 (no route memory) | |\n' "$(med ahead_first)"
printf '| the same 50 at once after disconnect and connect, %% | %s | 0 (no route memory) | |\n' "$(med ahead_at_once)"
printf '| the same 50, 1 s after disconnect and connect, %% | %s | 0 (no route memory) | |\n' "$(med ahead_later)"
printf '| soak, 10,000 pings: handles | %s -> %s | | |\n' "$handles_before" "$handles_after"
printf '| soak, 10,000 pings: resident memory, KiB | %s -> %s | | |\n' "$rss_before" "$rss_after"
echo
echo "summary: sequential ping at $ping_ratio of the bare server; stops in $(med stop_idle) ms idle and $(med stop_sniffer) ms with the sniffer; handles $handles_before -> $handles_after, memory $rss_before -> $rss_after KiB over 10,000 requests"
