#!/bin/sh
# Writes this machine's PCI configuration space (domain 0000) as a text dump that the
# simulated PCI bus replays (tests/fakes/port_channel.h):
#   BB:DD.F DWORD DWORD ...     one function a line, up to 64 little-endian dwords from
#                               register 0 on, in hex
# Usage: pci_dump.sh [SYSFS_PCI_DIR] > tests/data/pci/NAME.txt
# Unprivileged readers get the first 64 bytes (16 dwords) of each function; root gets 256.
set -eu
root=${1:-/sys/bus/pci/devices}
echo "# PCI configuration space of $(uname -n), $(date -u +%Y-%m-%d), from $root"
for dir in "$root"/0000:*; do
  [ -r "$dir/config" ] || continue
  address=${dir##*/0000:}
  words=$(head -c 256 "$dir/config" | od -An -v -tx4 | tr -s ' \n' ' ')
  echo "$address$words"
done
