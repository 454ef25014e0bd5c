# shellcheck shell=bash
# Wine test bed: a throw-away Wine prefix with the product's service and driver.
#
# Source this file from a test script, then:
#   wbed_init                          fresh prefix, persistent wineserver; cleanup on exit
#   wbed_attach                        the prefix of a calling script that ran wbed_init
#   wbed_install_files FILE...         copy programs into C:\zyl (WBED_DIR on the Linux side)
#   wbed_remove_test_pieces DIR        take the test pieces (below) out of DIR again, but for
#                                      the driver file
#   wbed_import_topology ARGS...       pci_topology.py ARGS, imported into the registry
#   wbed_import_reg FILE               import a .reg file
#   wbed_run OUT PROG [ARGS...]        run a Windows program, output to the file OUT
#   wbed_service_create NAME BINPATH [TYPE]      `sc create` (TYPE: own | kernel)
#   wbed_service_start NAME            start, retrying while the SCM answers 1060
#   wbed_service_state NAME            print RUNNING, STOPPED, ..., or ABSENT
#   wbed_service_wait NAME STATE [S]   wait until NAME is in STATE
#   wbed_service_stop NAME             stop and wait for STOPPED
#   wbed_service_delete NAME
#   wbed_zyl_service_register / _start / _stop / _state   the product's service
#   wbed_driver_state                  state of the driver service "qvzyl64"
#   wbed_stage NAME / wbed_stage_end   print how long a stage took
#
# Wine output always goes to files under WBED_LOGS: Wine's background processes
# inherit the standard output of the command that started them, so a pipe to
# grep could wait forever for its end.
#
# Settings (environment, optional): WBED_TIMEOUT (seconds per Windows program,
# default 300), WBED_KEEP_LOGS=1 (keep WBED_LOGS after the run), WBED_KEEP_PREFIX=1,
# WBED_SERVICES_DEBUG (WINEDEBUG of the services, e.g. -all,+debugstr; their Wine
# channel output goes to WBED_SERVICES_LOG).

WBED_SERVICE_NAME="Tavik Zyl Control Service"
WBED_SERVICE_EXE="VokZylControl.exe"
WBED_DRIVER_NAME="qvzyl64"
# Where the programs are: C:\zyl, or the folder an installer chose (wbed_attach).
WBED_WIN_DIR="${WBED_WIN_DIR:-C:\zyl}"
WBED_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

wbed_log() { printf '[wine-bed] %s\n' "$*" >&2; }

# Check counting for the scenario scripts: pass, or fail MESSAGE (logged).
CHECKS_LOG=wbed_log
source "$WBED_SCRIPTS/../lib/checks.sh"

wbed_now() { date +%s.%N; }

wbed_elapsed() { awk -v a="$1" -v b="$(wbed_now)" 'BEGIN { printf "%.3f", b - a }'; }

wbed_stage() {
  WBED_STAGE_NAME="$1"
  WBED_STAGE_START="$(wbed_now)"
  wbed_log "stage: $1"
}

wbed_stage_end() {
  local took
  took="$(wbed_elapsed "$WBED_STAGE_START")"
  wbed_log "stage: $WBED_STAGE_NAME took ${took} s"
  WBED_TIMINGS+=("$(printf '%-44s %8s s' "$WBED_STAGE_NAME" "$took")")
}

wbed_print_timings() {
  local line
  wbed_log "timings:"
  for line in "${WBED_TIMINGS[@]}"; do printf '  %s\n' "$line" >&2; done
}

# Pids of live processes that run in this bed's prefix: everything Wine started
# for us carries WINEPREFIX in its environment.
wbed_prefix_pids() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid="${environ#/proc/}"
    pid="${pid%/environ}"
    [[ "$pid" == "$$" || "$pid" == "$BASHPID" ]] && continue
    if grep -qzxF "WINEPREFIX=$WINEPREFIX" "$environ" 2>/dev/null; then
      echo "$pid"
    fi
  done
}

wbed_cleanup() {
  local rc=$? pids waited=0
  trap - EXIT INT TERM
  [[ -n "${WBED_ROOT:-}" && -d "${WBED_ROOT}" ]] || exit "$rc"
  wbed_log "cleaning up $WBED_ROOT"
  wineserver -k >/dev/null 2>&1 </dev/null
  while pids="$(wbed_prefix_pids)" && [[ -n "$pids" && $waited -lt 50 ]]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [[ -n "$pids" ]]; then
    wbed_log "killing leftover Wine processes of this prefix: ${pids//$'\n'/ }"
    # shellcheck disable=SC2086
    kill -9 $pids 2>/dev/null
  fi
  if [[ "${WBED_KEEP_LOGS:-0}" == 1 || $rc -ne 0 ]]; then
    WBED_KEPT_LOGS="$(mktemp -d /tmp/wine-bed-logs.XXXXXX)"
    cp -r "$WBED_LOGS/." "$WBED_KEPT_LOGS/" 2>/dev/null
    wbed_log "logs kept in $WBED_KEPT_LOGS"
  fi
  if [[ "${WBED_KEEP_PREFIX:-0}" == 1 ]]; then
    wbed_log "prefix kept in $WINEPREFIX"
  else
    rm -rf "$WBED_ROOT"
  fi
  exit "$rc"
}

wbed_init() {
  local start
  if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    wbed_log "wine and wineserver are needed"
    return 1
  fi
  WBED_TIMINGS=()
  WBED_ROOT="$(mktemp -d /tmp/wine-bed.XXXXXX)"
  WBED_LOGS="$WBED_ROOT/logs"
  mkdir -p "$WBED_LOGS"
  export WINEPREFIX="$WBED_ROOT/prefix"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap wbed_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  wbed_stage "prefix creation (wineboot -i)"
  start="$(wbed_now)"
  if ! wineboot -i >"$WBED_LOGS/wineboot.log" 2>&1 </dev/null; then
    wbed_log "wineboot -i failed, see $WBED_LOGS/wineboot.log"
    return 1
  fi
  # Services and winedevice.exe end with the last ordinary Wine process; a
  # persistent server keeps them for the whole run. It must be a new server:
  # `wineserver -p` while wineboot's server still lingers changes nothing, and
  # starting one before wineboot leaves two services.exe, one of which never
  # hears from the drivers it starts (StartService fails with 1055, then 1053).
  # Ending wineboot's server at once keeps the registry (it is saved on exit).
  wineserver -k >/dev/null 2>&1 </dev/null
  wineserver -w >/dev/null 2>&1 </dev/null
  wineserver -p 3600 >/dev/null 2>&1 </dev/null
  # The background processes (services.exe, and every service it starts) keep this command's
  # environment and standard error for the whole run: WBED_SERVICES_DEBUG gives them a
  # WINEDEBUG of their own, and their channel output lands in WBED_SERVICES_LOG.
  WBED_SERVICES_LOG="$WBED_LOGS/services.log"
  WINEDEBUG="${WBED_SERVICES_DEBUG:-$WINEDEBUG}" wine cmd /c exit >/dev/null 2>"$WBED_SERVICES_LOG" </dev/null
  WBED_PREFIX_SECONDS="$(wbed_elapsed "$start")"
  wbed_stage_end
  wbed_stage "service manager ready (boot-time starts done)"
  wbed_wait_scm_unlocked 60 || return 1
  wbed_stage_end
  WBED_DIR="$WINEPREFIX/drive_c/zyl"
  mkdir -p "$WBED_DIR"
  wbed_log "prefix $WINEPREFIX ready in ${WBED_PREFIX_SECONDS} s"
}

# wbed_attach: works in the prefix that a calling script made with wbed_init and exported
# (WINEPREFIX, WBED_ROOT, WBED_LOGS, WBED_SERVICES_LOG, WBED_WIN_DIR); that script cleans up.
wbed_attach() {
  if [[ -z "${WINEPREFIX:-}" || ! -d "$WINEPREFIX" || -z "${WBED_LOGS:-}" ]]; then
    wbed_log "wbed_attach: no prefix of a calling script"
    return 1
  fi
  export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  WBED_TIMINGS=()
  local path="${WBED_WIN_DIR#[Cc]:\\}"
  WBED_DIR="$WINEPREFIX/drive_c/${path//\\//}"
  [[ -d "$WBED_DIR" ]] || { wbed_log "wbed_attach: no folder $WBED_DIR"; return 1; }
}

wbed_install_files() {
  local f
  for f in "$@"; do
    [[ -f "$f" ]] || {
      wbed_log "missing file: $f"
      return 1
    }
    cp "$f" "$WBED_DIR/" || return 1
  done
}

# The test pieces the scenarios (e2e.sh) put beside the service, as paths in the Windows build:
# the test driver's file, the test programs, and (last of all, see e2e.sh) the stand-in
# setupapi.dll.
WBED_TEST_DRIVER=tests/wine/qvzyl64.sys
WBED_TEST_PROGRAMS=(tests/wine/ioctl_probe.exe tests/wine/devnode_tool.exe tests/wine/acl_tool.exe
  examples/zyl_example.exe tools/zylclient/zylprobe.exe)
WBED_TEST_STANDIN=tests/wine/standin/setupapi.dll

# Takes the test programs and the stand-in out of the folder DIR (Linux side); the driver file
# stays, as one an administrator copied in would.
wbed_remove_test_pieces() {
  local piece
  for piece in "${WBED_TEST_PROGRAMS[@]}" "$WBED_TEST_STANDIN"; do
    rm -f "$1/${piece##*/}" || return 1
  done
}

# Windows path of a file in C:\zyl.
wbed_win_path() { printf '%s\\%s' "$WBED_WIN_DIR" "$1"; }

# Z: is the Linux root in a fresh prefix.
wbed_unix_to_win() {
  local abs
  abs="$(readlink -f "$1")"
  printf 'Z:%s' "${abs//\//\\}"
}

# wbed_run OUT PROG [ARGS...]: the program's exit status; its output in OUT.
wbed_run() {
  local out="$1"
  shift
  timeout -k 10 "${WBED_TIMEOUT:-300}" wine "$@" >"$out" 2>&1 </dev/null
}

wbed_import_reg() {
  local log
  log="$WBED_LOGS/regedit.$(basename "$1").log"
  if ! wbed_run "$log" regedit /s "$(wbed_unix_to_win "$1")"; then
    wbed_log "regedit /s $1 failed, see $log"
    return 1
  fi
}

# Builds the simulated bus with pci_topology.py and imports it; the expected
# functions land in WBED_EXPECT (one "bb:dd.f=vvvv:dddd" per line).
wbed_import_topology() {
  local n=$((${WBED_TOPOLOGY_COUNT:-0} + 1))
  WBED_TOPOLOGY_COUNT=$n
  WBED_TOPOLOGY="$WBED_LOGS/topology.$n.reg"
  WBED_EXPECT="$WBED_LOGS/topology.$n.expect"
  python3 "$WBED_SCRIPTS/pci_topology.py" "$@" -o "$WBED_TOPOLOGY" --expect "$WBED_EXPECT" ||
    return 1
  wbed_import_reg "$WBED_TOPOLOGY"
}

# sc reports its Win32 errors only on Wine's err channel.
wbed_sc() {
  local out="$1"
  shift
  WINEDEBUG=-all,err+sc wbed_run "$out" sc "$@"
}

wbed_sc_error() { grep -o 'failed to [a-z ]* [0-9]*' "$1" | grep -o '[0-9]*$' | head -n 1; }

# The service manager holds its start lock while the prefix's own boot-time
# services start, for a few seconds after wineboot; any StartService in that
# window fails with 1055 (the product's driver start included). Asking for a
# service that is already running tells when the lock is free: 1056.
wbed_wait_scm_unlocked() {
  local out="$WBED_LOGS/sc.scm-lock.log" deadline error
  deadline=$(($(date +%s) + ${1:-60}))
  until wbed_sc "$out" start Eventlog; do
    error="$(wbed_sc_error "$out")"
    [[ "$error" == 1056 ]] && return 0
    if [[ "$error" != 1055 ]] || (($(date +%s) >= deadline)); then
      wbed_log "service manager not ready: ${error:-unknown}, see $out"
      return 1
    fi
  done
}

wbed_service_state() {
  local out="$WBED_LOGS/sc.query.log"
  if ! wbed_sc "$out" query "$1"; then
    if [[ "$(wbed_sc_error "$out")" == 1060 ]]; then echo ABSENT; else echo UNKNOWN; fi
    return 0
  fi
  awk '{ sub(/\r$/, "") } $1 == "STATE" { print $4; found = 1 }
       END { if (!found) print "UNKNOWN" }' "$out"
}

# wbed_service_wait NAME STATE [SECONDS]
wbed_service_wait() {
  local deadline state
  deadline=$(($(date +%s) + ${3:-30}))
  while state="$(wbed_service_state "$1")" && [[ "$state" != "$2" ]]; do
    if (($(date +%s) >= deadline)); then
      wbed_log "service '$1' is $state, not $2"
      return 1
    fi
    sleep 0.2
  done
}

wbed_service_create() {
  local out="$WBED_LOGS/sc.create.log"
  if ! wbed_sc "$out" create "$1" binpath= "$2" type= "${3:-own}"; then
    wbed_log "sc create '$1' failed: $(wbed_sc_error "$out")"
    return 1
  fi
}

# Right after `sc create` the SCM may still answer 1060 for a moment, and 1055
# while another start is under way.
wbed_service_start() {
  local out="$WBED_LOGS/sc.start.log" deadline error
  deadline=$(($(date +%s) + ${2:-30}))
  until wbed_sc "$out" start "$1"; do
    error="$(wbed_sc_error "$out")"
    [[ "$error" == 1056 ]] && break
    if [[ "$error" != 1060 && "$error" != 1055 ]] || (($(date +%s) >= deadline)); then
      wbed_log "sc start '$1' failed: ${error:-unknown}, see $out"
      return 1
    fi
    sleep 0.2
  done
  wbed_service_wait "$1" RUNNING "${2:-30}"
}

wbed_service_stop() {
  local out="$WBED_LOGS/sc.stop.log" error
  if ! wbed_sc "$out" stop "$1"; then
    error="$(wbed_sc_error "$out")"
    # 1062: not started.
    if [[ "$error" != 1062 ]]; then
      wbed_log "sc stop '$1' failed: ${error:-unknown}"
      return 1
    fi
  fi
  wbed_service_wait "$1" STOPPED "${2:-30}"
}

wbed_service_delete() {
  local out="$WBED_LOGS/sc.delete.log"
  if ! wbed_sc "$out" delete "$1"; then
    wbed_log "sc delete '$1' failed: $(wbed_sc_error "$out")"
    return 1
  fi
}

wbed_zyl_service_register() {
  wbed_service_create "$WBED_SERVICE_NAME" "$(wbed_win_path "$WBED_SERVICE_EXE")" own
}
wbed_zyl_service_start() { wbed_service_start "$WBED_SERVICE_NAME" "$@"; }
wbed_zyl_service_stop() { wbed_service_stop "$WBED_SERVICE_NAME" "$@"; }
wbed_zyl_service_state() { wbed_service_state "$WBED_SERVICE_NAME"; }
wbed_driver_state() { wbed_service_state "$WBED_DRIVER_NAME"; }
