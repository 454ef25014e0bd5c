#!/usr/bin/env bash
# The Debian package in a booted Debian 12 with a real systemd, as an administrator and a user
# would meet it: install, the service active with its notify handshake, an ordinary user's
# client sessions, stop, unit verification, remove and purge.
#
#   bash tests/packaging/deb_in_systemd.sh dist/vokzyl_X.Y.Z_amd64.deb
#
# Needs root (mmdebstrap, systemd-nspawn, nsenter). The root file system comes from the mirror
# this machine's apt uses. Exit status 0 when every check passed.
set -uo pipefail

deb="$(realpath "${1:?usage: deb_in_systemd.sh PACKAGE.deb}")"
version="$(dpkg-deb -f "$deb" Version)"
work="$(mktemp -d /var/tmp/zyl-deb.XXXXXX)"
root="$work/root"
nspawn_pid=""

log() { printf '[deb] %s\n' "$*" >&2; }
CHECKS_LOG=log
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/checks.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/packaging.sh"
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

cleanup() {
  if [[ -n "$nspawn_pid" ]] && kill -0 "$nspawn_pid" 2>/dev/null; then
    inside systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$nspawn_pid" 2>/dev/null && kill "$nspawn_pid"
    wait "$nspawn_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# inside COMMAND...: runs in the container, as root, with the container's own environment.
inside() {
  nsenter -t "$init_pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_PAGER= \
    SYSTEMD_COLORS=0 "$@"
}
# as_user COMMAND...: the same, as the container's unprivileged user.
as_user() { inside runuser -u zyluser -- "$@"; }

# container_pids NAME: the container's processes called NAME (procps is not in minbase).
container_pids() {
  local ns pid
  ns="$(readlink "/proc/$init_pid/ns/pid")"
  for pid in $(pgrep -x "$1"); do
    [[ "$(readlink "/proc/$pid/ns/pid")" == "$ns" ]] && echo "$pid"
  done
}

# check WHAT WANTED COMMAND...: the command's output (trimmed) must be WANTED.
check() {
  local what=$1 wanted=$2 got
  shift 2
  got="$("$@" 2>&1 | tr -d '\r')"
  if [[ "$got" == "$wanted" ]]; then pass; else fail "$what: '$got', expected '$wanted'"; fi
}

# The pid of the container's systemd: nspawn's child, once it runs systemd.
find_init() {
  local pid
  pid="$(pgrep -P "$nspawn_pid" | head -n 1)"
  [[ -n "$pid" && "$(cat "/proc/$pid/comm" 2>/dev/null)" == systemd ]] && echo "$pid"
}

mirror="$(zyl_apt_mirror)"
[[ -n "$mirror" ]] || { log "no mirror in this machine's apt sources"; exit 1; }
start="$(now)"
if ! mmdebstrap --quiet --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root" \
  "$mirror" >"$work/mmdebstrap.log" 2>&1; then
  cat "$work/mmdebstrap.log" >&2
  log "mmdebstrap failed"
  exit 1
fi
log "root made in $(since "$start") s ($(du -sm "$root" | cut -f1) MB) from $mirror"

# Without --register=no and --keep-unit nspawn asks the host's systemd, and there is none.
start="$(now)"
systemd-nspawn -D "$root" -b --register=no --keep-unit --console=passive \
  >"$work/nspawn.log" 2>&1 </dev/null &
nspawn_pid=$!
for _ in $(seq 100); do init_pid="$(find_init)" && break; sleep 0.1; done
[[ -n "${init_pid:-}" ]] || { cat "$work/nspawn.log" >&2; log "the container did not boot"; exit 1; }
# Until its bus is up systemctl cannot even ask.
for _ in $(seq 300); do
  state="$(inside timeout 60 systemctl is-system-running --wait 2>&1)"
  [[ "$state" == running || "$state" == degraded ]] && break
  sleep 0.1
done
log "booted in $(since "$start") s: $state"

# ---------------------------------------------------------------------------------------------
cp "$deb" "$root/root/vokzyl.deb"
start="$(now)"
if inside dpkg -i /root/vokzyl.deb >"$work/dpkg-i.log" 2>&1; then pass; else
  fail "dpkg -i: $(cat "$work/dpkg-i.log")"
fi
log "dpkg -i in $(since "$start") s"
check "enabled" enabled inside systemctl is-enabled vokzylcontrol
check "active after install" active inside systemctl is-active vokzylcontrol
# Type=notify: "active" comes only with the program's READY=1; the journal shows the start.
check "notify handshake" "Type=notify
NotifyAccess=main
StatusText=Running
SubState=running" inside systemctl show -p Type -p NotifyAccess -p StatusText -p SubState \
  vokzylcontrol
inside journalctl -u vokzylcontrol --no-pager -o cat >"$work/journal.log" 2>&1
grep -q '^Started vokzylcontrol.service\|^Started Tavik Zyl Control Service' "$work/journal.log" &&
  pass || fail "the journal shows no start: $(cat "$work/journal.log")"

# The unit's exposure as systemd rates it (lower is better); the figure of the unit as it was
# before its hardening (the 0.x units, with CAP_SYS_RAWIO and /dev/port, /dev/mem) was 4.1.
security="$(inside systemd-analyze security --no-pager vokzylcontrol.service 2>&1 | tail -1)"
[[ "$security" == *"Overall exposure level"* ]] && pass || fail "systemd-analyze security: $security"
log "systemd-analyze security: $security"

# ---------------------------------------------------------------------------------------------
inside useradd --create-home zyluser || fail "useradd"
check "zylclient --version" "zylclient $version" as_user zylclient --version
# Without the adapter the library answers as on any machine: loaded, and the functions counted
# from this machine's PCI bus (sysfs, which the container sees read-only).
host_id="$(od -An -tx4 -N4 /sys/bus/pci/devices/0000:00:00.0/config 2>/dev/null | tr -d ' ')"
as_user zylclient load --json >"$work/load.json" 2>&1 && pass || fail "load: $(cat "$work/load.json")"
grep -q '"status":"reply"' "$work/load.json" && grep -q '"result":1,' "$work/load.json" && pass ||
  fail "load reply: $(cat "$work/load.json")"
log "zylclient load as zyluser: $(grep -m1 '^{' "$work/load.json")"
if [[ -n "$host_id" ]]; then
  wanted=0
  for config in /sys/bus/pci/devices/*/config; do
    [[ "$(od -An -tx4 -N4 "$config" | tr -d ' ')" == "$host_id" ]] && wanted=$((wanted + 1))
  done
  as_user zylclient count --match-id "0x$host_id" --json >"$work/count.json" 2>&1 && pass ||
    fail "count: $(cat "$work/count.json")"
  grep -q '"result":1,' "$work/count.json" && grep -q "\"count\":$wanted," "$work/count.json" &&
    pass ||
    fail "count reply (wanted $wanted): $(cat "$work/count.json")"
  log "zylclient count --match-id 0x$host_id as zyluser: $(grep -m1 '^{' "$work/count.json")"
else
  as_user zylclient count --match-subsys 0x81CE104D --json >"$work/count.json" 2>&1 && pass ||
    fail "count: $(cat "$work/count.json")"
  log "no 00:00.0 here; zylclient count: $(grep -m1 '^{' "$work/count.json")"
fi

# ---------------------------------------------------------------------------------------------
inside systemctl stop vokzylcontrol || fail "systemctl stop"
check "state after stop" "inactive" inside systemctl is-active vokzylcontrol
check "stop result" "Result=success" inside systemctl show -p Result vokzylcontrol
inside test -e /run/vokzyl && fail "/run/vokzyl left after the stop" || pass

# Warnings do not change its exit status: any output is a failure. The documentation check runs
# the host's man, which knows nothing of the root's pages: --man=no.
verify="$(systemd-analyze verify --man=no --root="$root" vokzylcontrol.service 2>&1)"
[[ -z "$verify" ]] && pass || fail "systemd-analyze verify: $verify"

inside systemctl start vokzylcontrol || fail "start again"
if inside dpkg -r vokzyl >"$work/dpkg-r.log" 2>&1; then pass; else
  fail "dpkg -r: $(cat "$work/dpkg-r.log")"
fi
check "state after dpkg -r" "inactive" inside systemctl is-active vokzylcontrol
[[ -z "$(container_pids VokZylControl)" ]] && pass || fail "VokZylControl runs after dpkg -r"
if inside dpkg -P vokzyl >"$work/dpkg-p.log" 2>&1; then pass; else
  fail "dpkg -P: $(cat "$work/dpkg-p.log")"
fi
rm -f "$root/root/vokzyl.deb"
# Files, enablement and mask links, dpkg's records, the runtime directory: nothing of the name.
left="$(cd "$root" && find . -xdev \( -iname '*vokzyl*' -o -name 'zylclient*' \) -print)"
[[ -z "$left" ]] && pass || fail "left after purge: $left"
inside dpkg-query -W vokzyl >/dev/null 2>&1 && fail "dpkg still knows vokzyl after purge" || pass

# ---------------------------------------------------------------------------------------------
if ! checks_result "the package"; then
  mkdir -p "/tmp/zyl-deb-logs.$$" && cp "$work"/*.log "$work"/*.json "/tmp/zyl-deb-logs.$$/" 2>/dev/null
  log "logs kept in /tmp/zyl-deb-logs.$$"
  exit 1
fi
