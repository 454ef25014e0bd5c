# shellcheck shell=bash
# Check counting for the scenario scripts (Wine end to end, the MSI, the .deb in systemd): each
# check ends in `pass` or `fail MESSAGE`, and `checks_result WHAT` ends the run with the count
# and status 1 when any failed. Messages go through the function named in CHECKS_LOG.
CHECKS_LOG=${CHECKS_LOG:-echo}
failures=0
checks=0

fail() {
  "$CHECKS_LOG" "FAIL: $*"
  failures=$((failures + 1))
}

pass() { checks=$((checks + 1)); }

checks_result() {
  if ((failures)); then
    "$CHECKS_LOG" "$1 FAILED: $failures of $((checks + failures)) checks"
    return 1
  fi
  "$CHECKS_LOG" "$1 passed: $checks checks"
}
