#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (fuzz/<name>.cpp) for a bounded time on a
# copy of its seeds (fuzz/corpus/<name>/), then prints the executions of each. Fails when a
# target crashes, leaks, hangs or breaks an invariant; the input that did it is kept in
# build/fuzz/runs/<name>/ and can be replayed with: build/fuzz/fuzz/<name> <input>
#   scripts/fuzz.sh [seconds-per-target]     (default 60)
set -uo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
RSS_LIMIT_MB=${ZYL_FUZZ_RSS_MB:-2048}
INPUT_TIMEOUT_S=${ZYL_FUZZ_INPUT_TIMEOUT:-20}  # one input running longer than this is a hang
JOBS=${ZYL_JOBS:-2}

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$JOBS" ||
  { echo "fuzz build failed"; exit 1; }

runs=build/fuzz/runs
rm -rf "$runs"
failed=0
summary=()
for source in fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  work=$runs/$name
  mkdir -p "$work/corpus" "$work/artifacts"
  [ -d "fuzz/corpus/$name" ] && cp "fuzz/corpus/$name"/* "$work/corpus/" 2>/dev/null
  echo "== $name: ${SECONDS_PER_TARGET}s"
  "build/fuzz/fuzz/$name" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb="$RSS_LIMIT_MB" \
    -timeout="$INPUT_TIMEOUT_S" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" >"$work/log" 2>&1
  status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  result=ok
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    result=FAILED
    failed=$((failed + 1))
    grep -E -A 12 'ERROR|invariant broken|runtime error' "$work/log" | head -n 40
    echo "   kept: $(ls "$work/artifacts" | sed "s|^|$work/artifacts/|" | tr '\n' ' ')"
  fi
  summary+=("$(printf '  %-7s %-24s %10s executions (%s/s), corpus %s' \
    "$result" "$name" "${executions:-0}" "${rate:-0}" "$corpus")")
done

echo
echo "== fuzz summary (${SECONDS_PER_TARGET}s per target)"
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
