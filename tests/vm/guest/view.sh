#!/bin/bash
# The kernel's own view of the adapter's function, one key=value a line: present (yes/no), driver
# (the sysfs driver link, "-" for none), override (driver_override), net (its network
# interfaces), lspci (lspci -k's "Kernel driver in use", "-" for none), command (the PCI
# command register).
device=/sys/bus/pci/devices/0000:01:00.0
if [ -e "$device" ]; then echo present=yes; else echo present=no; fi
driver=$(readlink "$device/driver" 2>/dev/null)
echo "driver=$([ -n "$driver" ] && basename "$driver" || echo -)"
echo "override=$(cat "$device/driver_override" 2>/dev/null || echo -)"
echo "net=$(ls "$device/net" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
in_use=$(lspci -k -s 01:00.0 | sed -n 's/.*Kernel driver in use: //p')
echo "lspci=${in_use:--}"
echo "command=$(setpci -s 01:00.0 COMMAND 2>/dev/null || echo -)"
