#!/usr/bin/env bash
# Every test of the helper: native unit tests (plain, ASan+UBSan, TSan), short libFuzzer
# runs of the request path and the split-app list parser, the Wine integration tests against
# the real executables, and the installer package installed, upgraded and removed by Wine's
# msiexec.
# Ends with one line per suite and a pass/fail count of the suites.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}
results=()
failed=0

suite() {
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then
    results+=("PASS  $name")
  else
    results+=("FAIL  $name")
    failed=$((failed + 1))
  fi
}

native_build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null && cmake --build "$dir" -j "$jobs" >/dev/null
}

unit() {  # dir, cmake args...
  local dir=$1
  native_build "$@" && timeout 600 "$dir/unit_tests" --gtest_brief=1
}

fuzz() {
  local dir=build/fuzz
  CXX=clang++ native_build "$dir" -DORVANTA_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all" || return 1
  local target status=0
  for target in request_fuzz split_apps_fuzz route_memory_fuzz; do
    # New inputs go to the build's corpus; the committed seeds (one request of each command)
    # and the dictionary of command words get it past the command word at once.
    mkdir -p "$dir/corpus-$target"
    timeout $((fuzz_seconds + 120)) "$dir/$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 -artifact_prefix="$dir/" \
      -dict=tests/fuzz/request.dict "$dir/corpus-$target" "tests/fuzz/seeds/$target" 2>&1 | tail -n 2
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  done
  return $status
}

# The rooms of src/ build on each other in one direction only: app, service, control, tunnel,
# split, log, common, platform. A room may include its own headers and those further down.
include_order() {
  local rooms=(app service control tunnel split log common platform) status=0 i file line text target
  for i in "${!rooms[@]}"; do
    local below=" ${rooms[*]:$i} "
    while IFS=: read -r file line text; do
      target=$(sed -E 's|.*#include "([a-z0-9_]+)/.*|\1|' <<<"$text")
      if [[ "$below" != *" $target "* ]]; then
        echo "upward include in $file:$line: $text"
        status=1
      fi
    done < <(grep -rn '^#include "[a-z0-9_]*/' "src/${rooms[$i]}")
  done
  # The split room's state is its own: everyone else goes through its operations.
  while IFS=: read -r file line text; do
    echo "split state included outside split/ in $file:$line: $text"
    status=1
  done < <(grep -rn '^#include "split/split_state.h"' src --exclude-dir=split)
  [ "$status" -eq 0 ] && echo "every room includes only its own headers and those below it"
  return $status
}

wine_suite() {
  scripts/build.sh --windows-only >/dev/null || return 1
  ( source scripts/wine-env.sh && tests/wine/run.sh )
}

suite "rooms include only downward" include_order
suite "unit tests" unit build/native
suite "unit tests, AddressSanitizer + UBSan" unit build/asan \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
suite "unit tests, ThreadSanitizer" unit build/tsan -DCMAKE_CXX_FLAGS="-fsanitize=thread"
suite "fuzz, request path, split-app list and route memory (${fuzz_seconds} s each)" fuzz
suite "Wine integration tests" wine_suite
suite "Windows installer package under Wine's msiexec" tests/wine/msi_test.sh

echo "=== summary"
printf '%s\n' "${results[@]}"
echo "suites: $(( ${#results[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
