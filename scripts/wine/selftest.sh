#!/usr/bin/env bash
# Self-test of the Wine test bed: the topology tool, a fresh prefix, the test
# driver as a kernel driver service, its port protocol, scans of two simulated
# buses and one timed 131,072-transfer walk of all of configuration space.
#
#   cmake --preset windows
#   cmake --build build/windows -j2 --target qvzyl_test_driver ioctl_probe bed_service
#   bash scripts/wine/selftest.sh build/windows
#
# Exit status 0 when every check passed. WBED_KEEP_LOGS=1 keeps the Wine logs.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$(cd "${1:?usage: selftest.sh BUILD_DIR}" && pwd)"
bed_bin="$build_dir/tests/wine"
scenarios="$source_dir/tests/wine/scenarios"
# shellcheck source=harness.sh
source "$here/harness.sh"

failures=0
fail() {
  wbed_log "FAIL: $*"
  failures=$((failures + 1))
}

# Runs ioctl_probe with ARGS, shows its output, and fails the step on a
# non-zero exit status.
probe() {
  local out="$WBED_LOGS/probe.$1.$((++probe_runs)).log" rc
  wbed_run "$out" "$(wbed_win_path ioctl_probe.exe)" "$@"
  rc=$?
  sed 's/^/    /' "$out" >&2
  ((rc == 0)) || fail "ioctl_probe $1 exited with $rc"
  last_probe_log="$out"
  return "$rc"
}
probe_runs=0

expect_line() {
  grep -qF -- "$1" "$last_probe_log" || fail "expected '$1' in $(basename "$last_probe_log")"
}

wbed_stage "topology tool unit tests"
python3 "$source_dir/tests/wine/pci_topology_test.py" >"/tmp/pci_topology_test.$$.log" 2>&1 ||
  fail "pci_topology_test.py, see /tmp/pci_topology_test.$$.log"
rm -f "/tmp/pci_topology_test.$$.log"
wbed_stage_end

wbed_init || exit 1
wbed_install_files "$bed_bin/ioctl_probe.exe" "$bed_bin/qvzyl64.sys" "$bed_bin/bed_service.exe" ||
  exit 1

# The product's service registration, with a stand-in program.
wbed_stage "own-process service: create, start, stop"
WBED_SERVICE_EXE=bed_service.exe
[[ "$(wbed_zyl_service_state)" == ABSENT ]] || fail "service present before sc create"
wbed_zyl_service_register || fail "sc create"
wbed_zyl_service_start || fail "service start"
[[ "$(wbed_zyl_service_state)" == RUNNING ]] || fail "service not RUNNING after start"
wbed_zyl_service_stop || fail "service stop"
wbed_service_delete "$WBED_SERVICE_NAME" || fail "sc delete"
[[ "$(wbed_zyl_service_state)" == ABSENT ]] || fail "service present after sc delete"
wbed_stage_end

wbed_stage "topology A import (hand-made, buses 0-3)"
wbed_import_topology --scenario "$scenarios/multifunction.txt" \
  --scenario "$scenarios/many_matches.txt" --scenario "$scenarios/zero_command.txt" || exit 1
wbed_stage_end

wbed_stage "driver install and start (CreateServiceA/StartServiceA)"
probe install || exit 1
[[ "$(wbed_driver_state)" == RUNNING ]] || fail "sc query does not show $WBED_DRIVER_NAME RUNNING"
wbed_stage_end

wbed_stage "port protocol checks"
probe checks
wbed_stage_end

wbed_stage "scan of buses 0-3, topology A"
# shellcheck disable=SC2046
probe scan 4 $(cat "$WBED_EXPECT")
expect_line "00:1c.2 104d:81ce sub 104d:81ce cmd 0007"
expect_line "02:00.0 104d:81ce sub 104d:81ce cmd 0000"
expect_line "03:00.1 1987:5000 sub 1987:0001 cmd 0007"
expect_line "24 functions found, 0 mismatches"
wbed_stage_end

# A new topology reaches the driver only when it starts again; this also runs
# the harness's own stop/start of a service.
wbed_stage "driver restart with topology B (this machine + last address)"
wbed_service_stop "$WBED_DRIVER_NAME" || fail "driver stop"
wbed_import_topology --sysfs --scenario "$scenarios/last_address.txt" || exit 1
wbed_service_start "$WBED_DRIVER_NAME" || fail "driver start"
wbed_stage_end

wbed_stage "scan of bus 0, topology B"
# shellcheck disable=SC2046
probe scan 1 $(cat "$WBED_EXPECT")
expect_line "ff:1f.7 lies beyond the scanned buses"
wbed_stage_end

wbed_stage "full walk: 131,072 transfers, one event each"
# shellcheck disable=SC2046
probe scan 256 $(cat "$WBED_EXPECT")
expect_line "scan of 256 buses: 131072 transfers"
expect_line "ff:1f.7 1234:abcd sub 1234:0001 cmd 0003"
WBED_WALK_FIGURE="$(grep -m1 '^scan of 256 buses' "$last_probe_log")"
wbed_stage_end

wbed_stage "driver stop and delete"
probe remove
state="$(wbed_driver_state)"
[[ "$state" == ABSENT ]] || fail "driver service is $state after delete, not ABSENT"
wbed_stage_end

wbed_print_timings
wbed_log "prefix creation: ${WBED_PREFIX_SECONDS} s"
wbed_log "full walk: ${WBED_WALK_FIGURE:-not measured}"
if ((failures)); then
  wbed_log "self-test FAILED: $failures failures"
  exit 1
fi
wbed_log "self-test passed"
