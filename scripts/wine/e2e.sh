#!/usr/bin/env bash
# End-to-end run of the Windows build under Wine: the service program, the hardware access
# library and the stand-in kernel driver in one directory, the service registered with the
# service manager, and the Windows client driving it over the real pipe.
#
#   cmake --preset windows && cmake --build build/windows -j2
#   bash scripts/wine/e2e.sh build/windows
#
# Groups: start and load; this machine's PCI bus replayed (ID and subsystem counts checked
# against lspci, one timed full scan with the driver's transfer counter); a simulated bus
# (counts, command bytes, the client library's C example); device nodes; protocol misuse; missing
# library and exports; stops.
# Every Wine program writes to a file under WBED_LOGS; nothing of Wine is piped.
#
# WBED_INSTALLED=1: the service is already installed and registered (scripts/wine/msi.sh runs
# the scenarios so against what the MSI installed); see wbed_attach in harness.sh.
#
# The whole run is pinned to one CPU (WBED_CPU, default 0; "none" to leave it free): each port
# transfer crosses three processes, and on one CPU they hand over without migrating.
# Exit status 0 when every check passed.
set -uo pipefail

if [[ -z "${WBED_PINNED:-}" && "${WBED_CPU:-0}" != none ]] && command -v taskset >/dev/null; then
  export WBED_PINNED=1
  exec taskset -c "${WBED_CPU:-0}" bash "$0" "$@"
fi

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$(cd "${1:?usage: e2e.sh BUILD_DIR}" && pwd)"
scenarios="$source_dir/tests/wine/scenarios"
# OutputDebugStringA is on the debugstr channel, OutputDebugStringW (the service's lines and
# its notices) on seh's warnings.
export WBED_SERVICES_DEBUG="-all,+debugstr,warn+seh"
# shellcheck source=harness.sh
source "$here/harness.sh"

readonly ADAPTER_ID='PCI\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00'
readonly BUILT_ID='PCI\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00'
readonly NODE_PREFIX='4&1234ABCD&0&'
readonly SCAN_TIMEOUT_MS=180000

# ---------------------------------------------------------------------------------------------
# The client and its checks

# client NAME EXIT ARGS...: runs zylclient --json ARGS; the exit status must be EXIT. The
# report is in $WBED_LOGS/client.NAME.log, its time in last_client_seconds. With
# client_program=zylprobe.exe the tests' protocol probe runs instead: it also sends raw bytes
# (--raw), leaves out the events (--no-events) and reports the events the service set.
client() {
  local name=$1 want_exit=$2 start rc
  shift 2
  last_client_log="$WBED_LOGS/client.$name.log"
  start="$(wbed_now)"
  wbed_run "$last_client_log" "$(wbed_win_path "${client_program:-zylclient.exe}")" "$@" --json
  rc=$?
  last_client_seconds="$(wbed_elapsed "$start")"
  wbed_log "  $name: exit $rc in ${last_client_seconds} s: $(grep -m1 '^{' "$last_client_log")"
  if [[ "$rc" != "$want_exit" ]]; then
    fail "$name: zylclient exit $rc, expected $want_exit"
    return 1
  fi
  pass
}

# expect FIELD=VALUE...: the last client report has these fields (reply fields and the
# report's own: status, commandDoneBeforeReply, ...). Values as JSON prints them.
expect() {
  local problems
  problems="$(python3 - "$last_client_log" "$@" <<'EOF'
import json, sys
lines = [l for l in open(sys.argv[1], errors="replace") if l.startswith("{")]
if not lines:
    print("no JSON report"); sys.exit(1)
report = json.loads(lines[-1])
fields = {k: v for k, v in report.items() if k != "reply"}
fields.update(report.get("reply", {}))
bad = []
for wanted in sys.argv[2:]:
    key, value = wanted.split("=", 1)
    got = fields.get(key)
    text = json.dumps(got) if not isinstance(got, str) else got
    if text != value:
        bad.append(f"{key} is {text}, expected {value}")
print("; ".join(bad))
EOF
)"
  if [[ -n "$problems" ]]; then
    fail "$(basename "$last_client_log" .log): $problems"
    return 1
  fi
  pass
}

# exit_for_result RESULT: zylclient's exit status for a reply with that result.
exit_for_result() {
  case "$1" in
    1 | 2) echo 0 ;;
    3) echo 7 ;;
    -101) echo 8 ;;
    -107) echo 9 ;;
    4 | -102) echo 10 ;;
    *) echo 1 ;;
  esac
}

# run_expect NAME ARGS... -- FIELD=VALUE...: a client with a reply, then its checks. The exit
# status must be the one of the expected result.
run_expect() {
  local name=$1 args=() want=0 check
  shift
  while [[ $# -gt 0 && "$1" != -- ]]; do
    args+=("$1")
    shift
  done
  shift
  for check in "$@"; do
    [[ "$check" == result=* ]] && want=$(exit_for_result "${check#result=}")
  done
  client "$name" "$want" "${args[@]}" || return 1
  expect status=reply "$@"
}

hex_dec() { printf '%d' "$1"; }

# example NAME EXIT LINE...: runs the client library's C example (zyl_example.exe on
# zylclient.dll); its exit status must be EXIT and its output must hold each LINE.
example() {
  local name=$1 want_exit=$2 out="$WBED_LOGS/example.$1.log" rc line ok=1
  shift 2
  wbed_run "$out" "$(wbed_win_path zyl_example.exe)"
  rc=$?
  wbed_log "  example $name: exit $rc: $(tr -d '\r' <"$out" | paste -sd ';' -)"
  [[ "$rc" == "$want_exit" ]] || { fail "example $name: exit $rc, expected $want_exit"; ok=0; }
  for line in "$@"; do
    tr -d '\r' <"$out" | grep -qxF -- "$line" || { fail "example $name: no line '$line'"; ok=0; }
  done
  ((ok)) && pass
}

# ---------------------------------------------------------------------------------------------
# Processes, services, the driver and the device tree

# Live (not yet reaped or running) VokZylControl.exe processes of this prefix.
service_pids() {
  local pid
  for pid in $(wbed_prefix_pids); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'VokZylControl\.exe' && echo "$pid"
  done
}

expect_process_gone() {
  local waited=0
  while [[ -n "$(service_pids)" ]]; do
    if ((waited >= 100)); then
      fail "$1: VokZylControl.exe still runs (pid $(service_pids | tr '\n' ' '))"
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  pass
}

expect_state() {
  local state
  state="$(wbed_service_state "$1")"
  if [[ "$state" != "$2" ]]; then
    fail "$3: service '$1' is $state, expected $2"
    return 1
  fi
  pass
}

# stop_service WHAT: stop; STOPPED; the process ends; the driver stays installed and running.
stop_service() {
  local out="$WBED_LOGS/sc.stop.log" error
  # The service reports STOPPED from its control handler and its process ends at once, at
  # times before Wine's service manager has the handler's answer: sc then says 109 (broken
  # pipe). The states below are what counts.
  if ! wbed_sc "$out" stop "$WBED_SERVICE_NAME"; then
    error="$(wbed_sc_error "$out")"
    if [[ "$error" == 109 ]]; then
      wbed_log "  $1: sc stop answered 109 (the process ended before the handler's answer)"
    else
      fail "$1: sc stop failed: ${error:-unknown}"
    fi
  fi
  wbed_service_wait "$WBED_SERVICE_NAME" STOPPED 30 || fail "$1: not STOPPED"
  expect_state "$WBED_SERVICE_NAME" STOPPED "$1"
  expect_process_gone "$1"
  expect_state "$WBED_DRIVER_NAME" RUNNING "$1 (driver after the service stopped)"
}

start_service() {
  wbed_zyl_service_start || {
    fail "$1: service start"
    return 1
  }
  pass
}

devnode() {
  local out="$WBED_LOGS/devnode.$((++devnode_runs)).log"
  wbed_run "$out" "$(wbed_win_path devnode_tool.exe)" "$@" || {
    fail "devnode_tool $1: $(cat "$out")"
    return 1
  }
  last_devnode_log="$out"
}
devnode_runs=0

# expect_nodes HWID N: N listed nodes carry HWID first.
expect_nodes() {
  devnode count "$1" || return 1
  grep -q "matching $2\$" <(tr -d '\r' <"$last_devnode_log") || {
    fail "device tree: expected $2 nodes with $1, got: $(cat "$last_devnode_log")"
    return 1
  }
  pass
}

# expect_debug TEXT: the services' debugger output holds TEXT.
expect_debug() {
  if grep -qF -- "$1" "$WBED_SERVICES_LOG"; then pass; else fail "debugger output lacks: $1"; fi
}

counter() {
  local out="$WBED_LOGS/counter.$1.log"
  wbed_run "$out" "$(wbed_win_path ioctl_probe.exe)" counter "$1" || {
    fail "ioctl_probe counter $1: $(cat "$out")"
    return 1
  }
  [[ "$1" == read ]] && tr -d '\r' <"$out" | awk '$1 == "transfers" { print $2 }'
}

# Access lists, set with acl_tool (Wine's icacls changes nothing)

acl() {
  local out="$WBED_LOGS/acl.$((++acl_runs)).log"
  wbed_run "$out" "$(wbed_win_path acl_tool.exe)" "$@" || {
    fail "acl_tool $*: $(cat "$out")"
    return 1
  }
}
acl_runs=0

# A folder under Program Files on Windows: SYSTEM and Administrators change it, Users read and
# run it, the creator of a new file owns that file; its files inherit the same.
readonly ADMIN_FOLDER_ACL='D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;FA;;;CO)'
readonly ADMIN_FILE_ACL='D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)'
# The same with Users, and Everyone, allowed to add and change files (FILE_GENERIC_READ |
# WRITE | EXECUTE). Wine keeps no access list: it sets the Unix mode from it and makes the list
# up from the mode again, where only the Everyone entry shows (as the "others" bits).
readonly USERS_FOLDER_ACL='D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)(A;OICI;0x1201bf;;;WD)'
readonly USERS_FILE_ACL='D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;BU)(A;;0x1201bf;;;WD)'

lock_folder() {
  local file
  acl set "$WBED_WIN_DIR" "$ADMIN_FOLDER_ACL" || return 1
  for file in "$WBED_DIR"/*; do
    [[ -f "$file" ]] && { acl set "$(wbed_win_path "$(basename "$file")")" "$ADMIN_FILE_ACL" || return 1; }
  done
}

# The Unix paths of every qvzyl64.sys that a driver host of this prefix has mapped.
driver_files_mapped() {
  local pid
  for pid in $(wbed_prefix_pids); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'winedevice' || continue
    awk '{ path = $0; for (i = 0; i < 5; i++) sub(/^[^ ]+ +/, "", path) }
         tolower(path) ~ /qvzyl64\.sys$/ { print path }' "/proc/$pid/maps" 2>/dev/null
  done | sort -u
}

# ---------------------------------------------------------------------------------------------

wbed_stage "topology expectations from lspci"
lspci_out="/tmp/zyl-e2e-lspci.$$"
if ! lspci -D -nmm >"$lspci_out" 2>&1; then
  wbed_log "lspci -D -nmm failed; the replay checks are skipped"
  : >"$lspci_out"
fi
mapfile -t machine_expect < <(python3 "$here/pci_expect.py" --ids 1 --subsys 2 "$lspci_out")
wbed_log "this machine (lspci): $(wc -l <"$lspci_out") functions; checks: ${machine_expect[*]:-none}"
rm -f "$lspci_out"
wbed_stage_end

test_pieces=("$build_dir/$WBED_TEST_DRIVER" "${WBED_TEST_PROGRAMS[@]/#/$build_dir/}")
if [[ "${WBED_INSTALLED:-0}" == 1 ]]; then
  # An installer put the service and its files in WBED_WIN_DIR of the caller's prefix and
  # registered the service: only the test pieces go beside it.
  wbed_attach || exit 1
  wbed_install_files "${test_pieces[@]}" || exit 1
else
  wbed_init || exit 1
  wbed_install_files "$build_dir/service/VokZylControl.exe" "$build_dir/hwaccess/Qvzyl.Dll" \
    "$build_dir/tools/zylclient/zylclient.exe" "$build_dir/client/zylclient.dll" \
    "${test_pieces[@]}" || exit 1
fi
# Wine makes a file's security up from its Unix mode until one is set: the folder and its files
# get what a folder under Program Files has on Windows (the package installs there).
lock_folder || exit 1
partial_library="$build_dir/tests/wine/partial/Qvzyl.Dll"
[[ -f "$partial_library" ]] || fail "missing $partial_library"

# ---------------------------------------------------------------------------------------------
wbed_stage "start"
wbed_import_topology --sysfs || exit 1
expect_state "$WBED_DRIVER_NAME" ABSENT "before the first load"
[[ "${WBED_INSTALLED:-0}" == 1 ]] || wbed_zyl_service_register || exit 1
start_service "first start" || exit 1
expect_debug '"ZYLCTRL:Create Pipe\n"'
expect_debug '"ZYLCTRL:PipedServiceName="'
wbed_stage_end

wbed_stage "a folder or driver file that Users may change is refused"
# The driver file alone: the library loads, and installs no driver from that file.
acl set "$(wbed_win_path qvzyl64.sys)" "$USERS_FILE_ACL"
run_expect refused-driver load -- result=1
expect_debug 'InstallService Err: the driver file or its folder can be changed by others'
expect_state "$WBED_DRIVER_NAME" ABSENT "after a load with a driver file Users may change"
acl set "$(wbed_win_path qvzyl64.sys)" "$ADMIN_FILE_ACL"
# The folder: the library is not loaded at all.
acl set "$WBED_WIN_DIR" "$USERS_FOLDER_ACL"
run_expect refused-folder load -- result=-105
expect_debug 'ZYLCTRL:Qvzyl.Dll not loaded: others than administrators can change it or its folder'
expect_state "$WBED_DRIVER_NAME" ABSENT "after a load from a folder Users may change"
acl set "$WBED_WIN_DIR" "$ADMIN_FOLDER_ACL"
wbed_stage_end

wbed_stage "command 0 installs the driver, over a registration elsewhere"
# A qvzyl64 registered and running from a folder every user may write: the load points it at
# the file beside the program and restarts it from there.
public_dir="$WINEPREFIX/drive_c/users/Public"
mkdir -p "$public_dir" && cp "$WBED_DIR/qvzyl64.sys" "$public_dir/qvzyl64.sys"
wbed_run "$WBED_LOGS/probe.public-install.log" "$(wbed_win_path ioctl_probe.exe)" install \
  'C:\users\Public\qvzyl64.sys' || fail "qvzyl64 from C:\users\Public: $(cat "$WBED_LOGS/probe.public-install.log")"
expect_state "$WBED_DRIVER_NAME" RUNNING "registered from C:\users\Public"
wbed_log "  driver files mapped before the load: $(driver_files_mapped | tr '\n' ' ')"
client_program=zylprobe.exe run_expect load load -- command=0 result=1 \
  commandDoneBeforeReply=true disconnectedAfterReply=true
expect_state "$WBED_DRIVER_NAME" RUNNING "after command 0"
driver_image="$(wbed_run "$WBED_LOGS/reg.driver.log" reg query \
  "HKLM\\System\\CurrentControlSet\\Services\\$WBED_DRIVER_NAME" /v ImagePath
  tr -d '\r' <"$WBED_LOGS/reg.driver.log" | awk '$1 == "ImagePath" { $1 = $2 = ""; sub(/^ +/, ""); print }')"
wbed_log "  the driver's image path after the load: $driver_image"
[[ "${driver_image,,}" == *"${WBED_WIN_DIR,,}\\"*qvzyl64.sys ]] && pass ||
  fail "the driver still registered from $driver_image"
mapped="$(driver_files_mapped)"
wbed_log "  driver files mapped after the load: $(tr '\n' ' ' <<<"$mapped")"
[[ -n "$mapped" && "$mapped" != *users/Public* && "$mapped" == "$WBED_DIR/"* ]] && pass ||
  fail "the driver does not run from the program's folder: ${mapped:-nothing mapped}"
rm -f "$public_dir/qvzyl64.sys"
expect_debug '"<-------------QV_InitLibrary\n"'
run_expect load-again load -- result=1
wbed_stage_end

# ---------------------------------------------------------------------------------------------
# Against an installed service the two groups that measure the library and the driver on this
# machine's bus (the same files as in the run that installs them itself) are left out: they
# take minutes under Wine and show nothing about the installation.
if [[ "${WBED_INSTALLED:-0}" != 1 ]]; then
  wbed_stage "this machine's bus replayed: counts as lspci"
  for line in "${machine_expect[@]}"; do
    read -r mode dword count found <<<"$line"
    if [[ "$mode" == id ]]; then
      run_expect "machine-id-$dword" count --match-id "$dword" --found-vendor 0x5a5a \
        --timeout-ms "$SCAN_TIMEOUT_MS" -- result=1 "count=$count" "matchId=$(hex_dec "$dword")" \
        foundVendor=23130 foundDevice=0
      wbed_log "  ID-mode scan with $count match(es): ${last_client_seconds} s"
    else
      run_expect "machine-subsys-$dword" count --match-subsys "$dword" -- result=1 "count=$count" \
        "foundVendor=$((found & 0xFFFF))" "foundDevice=$((found >> 16))"
    fi
  done
  wbed_stage_end

  wbed_stage "full ID-mode scan without a match (131,072 transfers)"
  counter reset
  run_expect full-scan count --match-id 0xDEADBEEF --timeout-ms "$SCAN_TIMEOUT_MS" -- result=1 count=0
  full_scan_seconds="$last_client_seconds"
  transfers="$(counter read)"
  if [[ "$transfers" == 131072 ]]; then pass; else fail "full scan made ${transfers:-?} transfers, not 131072"; fi
  wbed_log "  full scan: ${full_scan_seconds} s for ${transfers:-?} transfers (client round trip included)"
  wbed_stage_end
else
  wbed_log "this machine's bus and the full scan: left to the run that installs the files itself"
fi

# ---------------------------------------------------------------------------------------------
wbed_stage "simulated bus: driver restarted with the scenario topology"
stop_service "stop right after a command"
wbed_service_stop "$WBED_DRIVER_NAME" || fail "driver stop"
wbed_import_topology --scenario "$scenarios/multifunction.txt" \
  --scenario "$scenarios/many_matches.txt" --scenario "$scenarios/zero_command.txt" \
  --scenario "$scenarios/last_address.txt" --scenario "$scenarios/command_bytes.txt" || exit 1
start_service "restart"
# The driver is installed but stopped: the load starts it again.
expect_state "$WBED_DRIVER_NAME" STOPPED "driver before the load"
run_expect sim-load load -- result=1
expect_state "$WBED_DRIVER_NAME" RUNNING "driver after the load"
wbed_stage_end

wbed_stage "simulated bus: counts by ID and by subsystem"
# ID mode: 00:1c.2 (function 2 behind another ID), 17 on bus 1 (more than the 16-entry table),
# 02:00.0. The found fields are the library's only by subsystem: here they come back as sent.
run_expect sim-id count --match-id 0x81CE104D --found-vendor 0x1111 --found-device 0x2222 \
  --timeout-ms "$SCAN_TIMEOUT_MS" -- result=1 count=19 foundVendor=4369 foundDevice=8738 \
  "matchId=$(hex_dec 0x81CE104D)" matchSubsys=0
wbed_log "  ID-mode scan with 19 matches: ${last_client_seconds} s"
# Subsystem mode sees function 0 only: bus 1 and 02:00.0, not 00:1c.2.
run_expect sim-subsys count --match-subsys 0x81CE104D -- result=1 count=18 \
  foundVendor=$((0x104D)) foundDevice=$((0x81CE))
# ff:1f.7 is a function 7: never found by subsystem.
run_expect sim-subsys-fn7 count --match-subsys 0x00011234 -- result=1 count=0 foundVendor=0
# The client library through its C example: the same count by subsystem, and a query.
example sim-bus 0 "load: result 1 (done)" "count: result 1 (done)" "count: 18, the first 104D:81CE"
wbed_stage_end

wbed_stage "simulated bus: command bytes (command 2)"
run_expect query-zero query --match-subsys 0x00021987 -- result=4 count=0
run_expect query-bit8-only query --match-subsys 0x00041987 -- result=4
run_expect query-index-beyond query --match-subsys 0x00031987 --count 1 -- result=4 count=1
# A non-zero command byte asks the device tree, which has no adapter node.
run_expect query-nonzero-no-node query --match-subsys 0x00031987 -- result=-102
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "device nodes (Wine's SetupAPI)"
expect_nodes "$ADAPTER_ID" 0
run_expect disable-no-node disable -- result=-102
run_expect enable-no-node enable -- result=-102

devnode add "$ADAPTER_ID\\${NODE_PREFIX}20E0" 0 "$ADAPTER_ID" 'PCI\VEN_104D&DEV_81CE'
expect_nodes "$ADAPTER_ID" 1
run_expect disable-no-driver-key disable -- result=-102
devnode remove "$ADAPTER_ID\\${NODE_PREFIX}20E0"

# The adapter's ID second in the list does not count.
devnode add "$ADAPTER_ID\\${NODE_PREFIX}30E0" 1 'PCI\VEN_104D&DEV_81CE&SUBSYS_00000000&REV_00' \
  "$ADAPTER_ID"
run_expect disable-second-entry disable -- result=-102
devnode remove "$ADAPTER_ID\\${NODE_PREFIX}30E0"

devnode add "$ADAPTER_ID\\${NODE_PREFIX}10E0" 1 "$ADAPTER_ID" 'PCI\VEN_104D&DEV_81CE'
expect_nodes "$ADAPTER_ID" 1
# Wine's CM_Get_DevNode_Status succeeds without a word: no problem, so the adapter works.
run_expect query-node query --match-subsys 0x00031987 -- result=2
# Wine refuses every state change (SetupDiSetClassInstallParamsW fails).
run_expect disable-node disable --match-id 0x1234 --count 7 --found-vendor 0x4242 -- result=-101 \
  matchId=$((0x1234)) count=7 foundVendor=$((0x4242)) matchSubsys=0
run_expect enable-node enable -- result=-101
devnode remove "$ADAPTER_ID\\${NODE_PREFIX}10E0"
expect_nodes "$ADAPTER_ID" 0
run_expect disable-removed disable -- result=-102

# The fourth ID is built from the IDs the last count chose.
devnode add "PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00\\${NODE_PREFIX}40E0" 1 "$BUILT_ID"
run_expect count-1234 count --match-subsys 0x00021234 -- result=1 count=1 \
  foundVendor=$((0x1234)) foundDevice=$((0xABCD))
run_expect disable-built-id disable -- result=-101
run_expect count-1987 count --match-subsys 0x00021987 -- result=1 count=1 foundVendor=$((0x1987))
run_expect disable-built-id-other disable -- result=-102
devnode remove "PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00\\${NODE_PREFIX}40E0"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "protocol misuse: each followed by a served client"
client_program=zylprobe.exe client unknown-command 4 7 &&
  expect status=no-reply commandDoneBeforeReply=false \
  disconnectedAfterReply=true
run_expect after-unknown load -- result=1
client unknown-command-big 4 0xFFFFFFFF && expect status=no-reply
run_expect after-unknown-big load -- result=1
# Without its events the client is dropped, often before it can even write (exit 4 or 6).
no_events_log="$WBED_LOGS/client.no-events.log"
wbed_run "$no_events_log" "$(wbed_win_path zylprobe.exe)" load --no-events --json
no_events_rc=$?
wbed_log "  no-events: exit $no_events_rc: $(grep -m1 '^{' "$no_events_log")"
if [[ "$no_events_rc" == 0 ]] || grep -q '"reply"' "$no_events_log"; then
  fail "a client without its events got a reply"
else
  pass
fi
run_expect after-no-events load -- result=1
client_program=zylprobe.exe client short-record 4 --raw 000000000000000000000000000000 &&
  expect status=no-reply
client_program=zylprobe.exe client short-record-1 4 --raw 00 && expect status=no-reply
run_expect after-short-record load -- result=1
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "hostile mix: 30 clients at once, good and bad"
# Good clients (load, and a record with trailing bytes) must get their exact reply; the others
# none. The service must serve through all of it, in the same process.
pids_before="$(service_pids)"
mix=()
for i in $(seq 1 8); do mix+=("good-$i 0 load"); done
for i in $(seq 1 4); do mix+=("oversize-$i 0 --raw $(printf '00%.0s' $(seq 1 36))"); done
for i in $(seq 1 6); do mix+=("unknown-$i 4 $((5 + i))"); done
for i in $(seq 1 6); do mix+=("short-$i 4 --raw $(printf '00%.0s' $(seq 1 $((i * 3))))"); done
for i in $(seq 1 6); do mix+=("no-events-$i x load --no-events"); done
mix_pids=()
for entry in "${mix[@]}"; do
  read -r name _ args <<<"$entry"
  # shellcheck disable=SC2086
  # What zylclient cannot send, the probe does.
  program=zylclient.exe
  [[ "$args" == *--raw* || "$args" == *--no-events* ]] && program=zylprobe.exe
  wbed_run "$WBED_LOGS/mix.$name.log" "$(wbed_win_path "$program")" $args --json \
    --timeout-ms 60000 &
  mix_pids+=($!)
done
for i in "${!mix[@]}"; do
  wait "${mix_pids[$i]}"
  rc=$?
  read -r name want _ <<<"${mix[$i]}"
  log="$WBED_LOGS/mix.$name.log"
  case "$want" in
    0) if [[ "$rc" == 0 ]] && grep -q '"result":1,' "$log"; then pass; else
         fail "mix $name: exit $rc, $(grep -m1 '^{' "$log")"; fi ;;
    4) if [[ "$rc" == 4 ]]; then pass; else fail "mix $name: exit $rc, expected no reply"; fi ;;
    # Without events of its own a client is refused, unless another client of the mix holds
    # the two global events at that moment: then it is served like any other.
    x) if { [[ "$rc" != 0 ]] && ! grep -q '"reply"' "$log"; } ||
          { [[ "$rc" == 0 ]] && grep -q '"result":1,' "$log"; }; then pass; else
         fail "mix $name: exit $rc, $(grep -m1 '^{' "$log")"; fi ;;
  esac
done
[[ "$(service_pids)" == "$pids_before" ]] && pass || fail "the service process changed in the mix"
run_expect after-mix load -- result=1
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "missing library (-105) and missing exports (-106)"
stop_service "stop right after a command (2)"
mv "$WBED_DIR/Qvzyl.Dll" "$WBED_DIR/Qvzyl.Dll.real"
# A Qvzyl.Dll in a folder on the system PATH (as a folder users can write would be) is never
# taken: the service loads only from its own folder and System32. The service manager builds
# each service's environment from the registry when it starts it.
planted_dir="$WINEPREFIX/drive_c/zylpath"
mkdir -p "$planted_dir" && cp "$WBED_DIR/Qvzyl.Dll.real" "$planted_dir/Qvzyl.Dll"
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
wbed_run "$WBED_LOGS/reg.path.log" reg query "$environment_key" /v PATH
system_path="$(tr -d '\r' <"$WBED_LOGS/reg.path.log" | awk '$1 == "PATH" { $1 = $2 = ""; sub(/^ +/, ""); print }')"
wbed_run "$WBED_LOGS/reg.path-add.log" reg add "$environment_key" /v PATH /t REG_EXPAND_SZ \
  /d "C:\\zylpath;$system_path" /f || fail "C:\\zylpath on the system PATH"
start_service "start without Qvzyl.Dll beside it, one on PATH"
run_expect no-library load -- result=-105
run_expect no-library-count count --match-subsys 0x00021987 -- result=-106 count=0
expect_debug 'ZYLCTRL: '
expect_debug 'Could not get the function from library.(QV_GetPciDeviceCount)'
stop_service "stop after -106"
rm -rf "$planted_dir"

cp "$partial_library" "$WBED_DIR/Qvzyl.Dll"
start_service "start with the partial library"
run_expect partial-load load -- result=1
expect_debug 'partial Qvzyl.Dll: QV_InitLibrary'
run_expect partial-count count --match-subsys 0x00021987 -- result=-106
run_expect partial-query query --match-subsys 0x00021987 -- result=-106
expect_debug 'Could not get the function from library.(QV_GetPciCommandReg)'
wbed_log "  a missing-export notice took ${last_client_seconds} s (it must not wait for a person)"
stop_service "stop after the partial library"
mv -f "$WBED_DIR/Qvzyl.Dll.real" "$WBED_DIR/Qvzyl.Dll"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "stops: idle, during a command; started outside the service manager"
start_service "start for an idle stop"
sleep 1
stop_service "stop while idle"
example no-service 1 "load: the service is not running"

start_service "start for a stop during a command"
run_expect busy-load load -- result=1
# A subsystem scan runs for seconds. The stop comes during it: the service reports
# STOP_PENDING, finishes the command, writes its reply, and only then reports STOPPED.
busy_log="$WBED_LOGS/client.busy-query.log"
timeout -k 10 120 wine "$(wbed_win_path zylprobe.exe)" query --match-subsys 0x00031987 \
  --timeout-ms 60000 --json \
  >"$busy_log" 2>&1 </dev/null &
busy_client=$!
sleep 1
stop_service "stop during a command"
wait "$busy_client"
busy_rc=$?
wbed_log "  client of the command the stop came during: exit $busy_rc: $(grep -m1 '^{' "$busy_log")"
last_client_log="$busy_log"
# Its answer: no adapter node here (-102), so "not found".
if [[ "$busy_rc" == 10 ]]; then pass; else fail "the command the stop came during: exit $busy_rc"; fi
expect status=reply command=2 result=-102 commandDoneBeforeReply=true

direct_log="$WBED_LOGS/direct-run.log"
wbed_run "$direct_log" "$(wbed_win_path VokZylControl.exe)"
direct_rc=$?
if [[ "$direct_rc" == 0 ]]; then pass; else fail "VokZylControl.exe run directly exited $direct_rc"; fi
wbed_log "  VokZylControl.exe outside the service manager: exit $direct_rc"
expect_state "$WBED_DRIVER_NAME" RUNNING "driver at the end"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
# Last: once the stand-in sits beside the service, only the override keeps other programs of
# C:\zyl on Wine's own setupapi.
wbed_stage "device-node success paths (stand-in setupapi.dll for the service)"
standin="$build_dir/$WBED_TEST_STANDIN"
override_reg="$WBED_LOGS/setupapi-override.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\VokZylControl.exe\\DllOverrides]\r\n"setupapi"="native"\r\n' \
  >"$override_reg"
if [[ ! -f "$standin" ]]; then
  fail "missing $standin"
elif wbed_install_files "$standin" && wbed_import_reg "$override_reg" &&
  start_service "start with the stand-in setupapi.dll"; then
  standin_start_line=$(wc -l <"$WBED_SERVICES_LOG")
  run_expect standin-load load -- result=1
  run_expect standin-count count --match-subsys 0x00031987 -- result=1 count=1
  run_expect standin-query-works query --match-subsys 0x00031987 -- result=2
  run_expect standin-disable disable -- result=1
  run_expect standin-query-disabled query --match-subsys 0x00031987 -- result=3
  run_expect standin-enable enable -- result=1
  run_expect standin-query-enabled query --match-subsys 0x00031987 -- result=2
  # Stop before disable; enable, start, and after a start that leaves a problem one
  # re-enumeration from the root and a second start.
  calls="$(tail -n +"$standin_start_line" "$WBED_SERVICES_LOG" |
    grep 'debugstr:OutputDebugStringA "setupapi stand-in' |
    grep -o 'setupapi stand-in: [a-z -]*[0-9]*' | grep -v ': list' | sed 's/setupapi stand-in: //' |
    paste -sd, -)"
  wanted="state change 5,state change 2,state change 1,state change 4,locate root,re-enumerate from 1,state change 4"
  if [[ "$calls" == "$wanted" ]]; then pass; else fail "stand-in calls: $calls; expected $wanted"; fi
  wbed_log "  stand-in calls: $calls"
  stop_service "stop with the stand-in"
else
  fail "stand-in setupapi.dll set-up"
fi
wbed_stage_end

wbed_print_timings
wbed_log "prefix creation: ${WBED_PREFIX_SECONDS} s"
wbed_log "full ID-mode scan through the service: ${full_scan_seconds:-not measured} s, ${transfers:-?} transfers"
checks_result "end-to-end" || exit 1
