# stage: mutation check (Windows values and orders the unit tests must pin)
# Copies the tree to a scratch directory, makes one small edit at a time (a wrong Windows value,
# a wrong name, two calls swapped), rebuilds unit_tests and requires a unit test to fail. A
# mutant that survives, or an edit whose pattern no longer matches exactly once, fails the stage.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
started=$(date +%s)
scratch=${ZYL_MUTATION_DIR:-$root/build/mutation}
tree=$scratch/tree
build=$tree/build/mutation  # the depth of build/<preset>, so ccache hits across copies

# Each mutant: name | file | one or more sed substitutions "s/PATTERN/REPLACEMENT/", each its
# own field, or "swap:PATTERN" (the matched line and the next change places). Every PATTERN is a
# basic regular expression with '/' written as '\/' and must match exactly one line of the file.
mutants=(
  "scope global instead of config-specific|service/device_nodes.cpp|s/params.scope = platform::kDicsFlagConfigSpecific;/params.scope = platform::kDicsFlagGlobal;/"
  "DICS_FLAG_CONFIGSPECIFIC defined as 1|platform/windows_values.h|s/kDicsFlagConfigSpecific = 2;/kDicsFlagConfigSpecific = 1;/"
  "dispatcher table names another service|service/lifecycle.cpp|s/RunDispatcher(kServiceName,/RunDispatcher(u\"Tavik Zyl Control\",/"
  "service name misspelt|protocol/names.h|s/u\"Tavik Zyl Control Service\";/u\"Tavik Zyl Control Servce\";/"
  "ERROR_BAD_DRIVER defined as 2002|platform/windows_values.h|s/kErrorBadDriver = 2001;/kErrorBadDriver = 2002;/"
  "ERROR_SERVICE_EXISTS defined as 1072|platform/windows_values.h|s/kErrorServiceExists = 1073;/kErrorServiceExists = 1072;/"
  "DICS_DISABLE before DICS_STOP|service/device_nodes.cpp|s/(tree, list, record, Mode::kStop) != kResultDone/(tree, list, record, Mode::kDisable) != kResultDone/|s/(tree, list, record, Mode::kDisable);  \/\/ its outcome/(tree, list, record, Mode::kStop);  \/\/ its outcome/"
  "write before set-done|service/pipe_server.cpp|swap:events.SetEvent(client.commandDone);"
  "disconnect before flush|service/pipe_server.cpp|swap:events.Flush(pipe);"
  "disconnected event set before disconnect|service/pipe_server.cpp|swap:^  events.Disconnect(pipe);\$"
  "users may change the pipe's access list|service/pipe_server.cpp|s/{u\"Users\", kFileGenericReadWrite}/{u\"Users\", kFileAllAccess}/"
  "start before enable|service/device_nodes.cpp|s/record, Mode::kEnable) != kResultDone/record, Mode::kStart) != kResultDone/"
  "a registration elsewhere is trusted|hwaccess/driver_service.cpp|s/             hwaccess::NamesSameFile(config->binaryPath, driverPath);/             true;/"
  "the driver file's own access list unread|hwaccess/driver_service.cpp|s/         scm.OnlyAdministratorsCanChange(driverPath);/         true;/"
  "a library users may change is loaded|service/commands.cpp|s/if (!loader.OnlyAdministratorsCanChange(kLibraryFileName)) {/if (false) {/"
  "the stop waits as long as an installer|service/lifecycle.h|s/kStopWaitLimitMs = 25000;/kStopWaitLimitMs = 30000;/"
)

# The number of lines of file $1 that the basic regex $2 matches.
matches() { grep -c -- "$2" "$1"; }

# The scratch copy and its build are kept between runs: only files that differ from the tree
# are copied again (a mutant left behind by an interrupted run among them).
mkdir -p "$tree"
while IFS= read -r -d '' file; do
  [ -e "$file" ] || continue
  cmp -s "$file" "$tree/$file" && continue
  mkdir -p "$tree/$(dirname "$file")" && cp "$file" "$tree/$file" || { echo "cannot copy $file"; exit 1; }
done < <(git ls-files -z --cached --others --exclude-standard)

export CCACHE_BASEDIR=$tree CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# No sanitizers and no optimisation: the quickest build that runs the unit tests.
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DZYL_BUILD_BENCH=OFF "${launcher[@]}" \
  >"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; exit 1; }

run_unit_tests() {
  cmake --build "$build" --target unit_tests -j 2 >"$scratch/build.log" 2>&1 || return 2
  timeout 300 "$build/tests/unit_tests" --gtest_brief=1 >"$scratch/test.log" 2>&1 || return 1
  return 0
}

run_unit_tests
case $? in
  0) ;;
  2) tail -n 30 "$scratch/build.log"; echo "the unmutated copy does not build"; exit 1 ;;
  *) tail -n 30 "$scratch/test.log"; echo "the unmutated copy fails its unit tests"; exit 1 ;;
esac
echo "unmutated copy: unit tests pass ($(( $(date +%s) - started ))s)"

failures=0
printf '%-44s %-8s %-6s %s\n' "mutant" "outcome" "time" "caught by"
for entry in "${mutants[@]}"; do
  IFS='|' read -r -a fields <<<"$entry"
  name=${fields[0]}
  file=${fields[1]}
  edits=("${fields[@]:2}")
  target=$tree/$file
  cp "$root/$file" "$target"  # a fresh time stamp: the edit and its undo both rebuild
  mutant_start=$(date +%s)
  applied=1
  for edit in "${edits[@]}"; do
    if [[ $edit == swap:* ]]; then
      pattern=${edit#swap:}
      edit="/$pattern/{N;s/\\(.*\\)\\n\\(.*\\)/\\2\\n\\1/}"
    else
      pattern=$(printf '%s' "$edit" | sed -E 's#^s/((\\/|[^/])*)/.*#\1#')
    fi
    [ "$(matches "$target" "$(printf '%s' "$pattern" | sed 's#\\/#/#g')")" = 1 ] || applied=0
    sed -i "$edit" "$target"
  done
  if [ "$applied" = 0 ] || cmp -s "$root/$file" "$target"; then
    printf '%-44s %-8s %-6s %s\n' "$name" "NOEDIT" "-" "pattern in $file does not match once"
    failures=$((failures + 1))
    cp "$root/$file" "$target"
    continue
  fi
  run_unit_tests
  outcome=$?
  took=$(( $(date +%s) - mutant_start ))s
  if [ "$outcome" = 1 ]; then
    caught=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' "$scratch/test.log" | sort -u | head -n 3 | paste -sd ' ')
    printf '%-44s %-8s %-6s %s\n' "$name" "caught" "$took" "${caught:-a failing unit test}"
  elif [ "$outcome" = 2 ]; then
    printf '%-44s %-8s %-6s %s\n' "$name" "NOBUILD" "$took" "the edit does not compile; choose another"
    failures=$((failures + 1))
  else
    printf '%-44s %-8s %-6s %s\n' "$name" "SURVIVED" "$took" "no unit test failed"
    failures=$((failures + 1))
  fi
  cp "$root/$file" "$target"
done

echo "mutation check: ${#mutants[@]} mutants, $failures not caught, $(( $(date +%s) - started ))s"
[ "$failures" = 0 ]
