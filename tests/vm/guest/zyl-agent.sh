#!/bin/bash
# The test machine's end of the host's command channel (the virtio-serial port zyl.agent): each
# line from the host is "ID BASE64", a shell command to run as root; the answer is its output
# (standard output and error together) and then "@@ZYL-END ID STATUS MICROSECONDS@@".
# Announces itself with "@@ZYL-READY@@" once the port is open.
port=/dev/virtio-ports/zyl.agent
while [ ! -e "$port" ]; do sleep 0.1; done
exec 3<>"$port"
printf '@@ZYL-READY@@\n' >&3
while :; do
  # Without the host on the other end the port reads as closed: wait for it.
  IFS= read -r line <&3 || { sleep 0.1; continue; }
  id=${line%% *}
  command="$(printf '%s' "${line#* }" | base64 -d)"
  start=$(date +%s%N)
  output="$(bash -c "$command" 2>&1 </dev/null)"
  status=$?
  took=$((($(date +%s%N) - start) / 1000))
  printf '%s\n@@ZYL-END %s %s %s@@\n' "$output" "$id" "$status" "$took" >&3
done
