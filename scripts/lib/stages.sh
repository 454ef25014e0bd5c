# Runs named stages, prints how long each took, and a summary at the end.
ZYL_STAGE_NAMES=()
ZYL_STAGE_TIMES=()
ZYL_STAGE_RESULTS=()
ZYL_START=$(date +%s)

# stage NAME COMMAND...: runs the command; a failure is recorded and the run goes on.
stage() {
  local name=$1
  shift
  echo
  echo "== $name"
  local start=$(date +%s)
  local result=ok
  "$@" || result=FAILED
  local took=$(( $(date +%s) - start ))
  ZYL_STAGE_NAMES+=("$name")
  ZYL_STAGE_TIMES+=("$took")
  ZYL_STAGE_RESULTS+=("$result")
  echo "== $name: $result in ${took}s"
  [ "$result" = ok ]
}

# stage_summary: prints every stage and returns non-zero when any failed.
stage_summary() {
  local failed=0
  echo
  echo "== summary (total $(( $(date +%s) - ZYL_START ))s)"
  for i in "${!ZYL_STAGE_NAMES[@]}"; do
    printf '  %-8s %5ss  %s\n' "${ZYL_STAGE_RESULTS[$i]}" "${ZYL_STAGE_TIMES[$i]}" "${ZYL_STAGE_NAMES[$i]}"
    [ "${ZYL_STAGE_RESULTS[$i]}" = ok ] || failed=$((failed + 1))
  done
  local passed=$(( ${#ZYL_STAGE_NAMES[@]} - failed ))
  echo "stages: $passed passed, $failed failed"
  return $(( failed > 0 ))
}
