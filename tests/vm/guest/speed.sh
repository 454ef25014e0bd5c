#!/bin/bash
# Disable and enable, ROUNDS times each way, alternating: through zylclient (as USER, by
# setpriv: no PAM session in the figures) and as the same sysfs writes from this shell; then
# zylclient --version (the process without an exchange), a count and a query. Prints one line
# per operation: "WAY OPERATION MICROSECONDS".
#   speed.sh ROUNDS USER MATCH_ID
rounds=$1 user=$2 match_id=$3
address=0000:01:00.0
device=/sys/bus/pci/devices/$address
as_user() { setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }
# Microseconds, without a process of its own.
us() { echo "${EPOCHREALTIME/./}"; }
timed() {
  local label=$1 start
  shift
  start=$(us)
  "$@" >/dev/null
  echo "$label $(($(us) - start))"
}
bare_disable() {
  echo none >"$device/driver_override"
  echo "$address" >"$device/driver/unbind"
}
bare_enable() {
  echo >"$device/driver_override"
  echo "$address" >/sys/bus/pci/drivers_probe
}
for _ in $(seq "$rounds"); do
  timed "zylclient disable" as_user zylclient disable
  timed "zylclient enable" as_user zylclient enable
  udevadm settle
  timed "bare disable" bare_disable
  timed "bare enable" bare_enable
  udevadm settle
  timed "zylclient --version" as_user zylclient --version
  timed "zylclient count" as_user zylclient count --match-id "$match_id"
  timed "zylclient query" as_user zylclient query --match-id "$match_id" --count 0
done
