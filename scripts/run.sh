#!/usr/bin/env bash
# The main job: the control service and a full client session on a machine with the adapter.
# No machine here has one, so the service runs on a simulated machine: a device tree holding the
# adapter's device node and a PCI bus carrying the adapter's functions (wired by the test host
# tests/sim/zylsim_service, not by any setting of the shipped program).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_LINUX_PACKAGES[@]}"

echo "== building (linux-release)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "$(nproc)" --target zylsim_service zylclient >/dev/null

build=build/linux-release
runtime=$(mktemp -d)
log=$runtime/service.log
cleanup() {
  [ -n "${service:-}" ] && kill -TERM "$service" 2>/dev/null && wait "$service" 2>/dev/null || true
  rm -rf "$runtime"
}
trap cleanup EXIT

"$build/sim/zylsim_service" --runtime-dir "$runtime" 2>"$log" &
service=$!
for _ in $(seq 50); do [ -S "$runtime/TAVIK_Zyl_Control_Service" ] && break; sleep 0.1; done
echo "== the service runs (pid $service); its pipe is $runtime/TAVIK_Zyl_Control_Service"

adapter=0x81CE104D  # vendor 104D, device 81CE; the subsystem dword is the same
step() {
  local what=$1
  shift
  echo
  echo "-- $what"
  # The exit status follows the answer (7 for a disabled adapter): shown, not fatal.
  local status=0
  "$build/tools/zylclient/zylclient" --runtime-dir "$runtime" "$@" | sed 's/^/   /' || status=$?
  echo "   exit status $status"
}
step "load the hardware access library" load
step "count the adapter's PCI functions by their ID" count --match-id $adapter
step "count them by subsystem alone (learns the IDs)" count --match-subsys $adapter
step "is the adapter working? (expect 2)" query --match-id $adapter --count 0
step "take it out of service (expect 1)" disable
step "is it working now? (expect 3: disabled)" query --match-id $adapter --count 0
step "put it back (expect 1)" enable
step "is it working again? (expect 2)" query --match-id $adapter --count 0

kill -TERM "$service"
wait "$service" || true
service=
echo
echo "== the service stopped; its debugger output:"
sed 's/^/   /' "$log"
echo
