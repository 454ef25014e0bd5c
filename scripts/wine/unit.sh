#!/usr/bin/env bash
# Runs every cross-compiled test program (BUILD_DIR/tests/*_tests.exe) under Wine in a fresh
# prefix, each with its output in a file; prints each program's summary and time.
#
#   bash scripts/wine/unit.sh build/windows
#
# Exit status 0 when every program ran and passed.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build_dir="$(cd "${1:?usage: unit.sh BUILD_DIR}" && pwd)"
# shellcheck source=harness.sh
source "$here/harness.sh"

shopt -s nullglob
programs=("$build_dir"/tests/*_tests.exe)
if ((${#programs[@]} == 0)); then
  wbed_log "no *_tests.exe in $build_dir/tests: build the windows preset first"
  exit 1
fi

wbed_init || exit 1
failed=0
for program in "${programs[@]}"; do
  name="$(basename "$program" .exe)"
  out="$WBED_LOGS/$name.log"
  wbed_stage "$name"
  # Run where it was built: the tests find their data by the paths compiled into them.
  (cd "$(dirname "$program")" && wbed_run "$out" "$(basename "$program")")
  rc=$?
  wbed_stage_end
  grep -E '^\[  (PASSED|FAILED)  \]|^\[==========\] [0-9]+ tests? from' "$out" | sed 's/^/    /' >&2
  if ((rc != 0)); then
    wbed_log "FAIL: $name exited with $rc; its output:"
    sed 's/^/    /' "$out" >&2
    failed=$((failed + 1))
  elif ! grep -q '^\[  PASSED  \]' "$out"; then
    wbed_log "FAIL: $name reported no passed tests"
    failed=$((failed + 1))
  fi
done
wbed_print_timings
if ((failed)); then
  wbed_log "cross-compiled tests under Wine FAILED: $failed of ${#programs[@]} programs"
  exit 1
fi
wbed_log "cross-compiled tests under Wine passed: ${#programs[@]} programs"
