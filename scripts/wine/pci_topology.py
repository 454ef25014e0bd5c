#!/usr/bin/env python3
"""Builds the simulated PCI bus for the Wine test bed's port-I/O test driver.

The driver reads HKLM\\Software\\QvzylTestBus, value "Functions" (REG_BINARY),
once when it starts: an array of 260-byte records, each u8 bus, u8 device,
u8 function, u8 reserved (0), then the function's 64 config dwords
(little endian). This tool writes that value as a REGEDIT4 file for
`wine regedit /s FILE`; the file first deletes the key, so an import always
replaces the whole topology.

Sources, merged in the order given (a later function at the same address
replaces an earlier one):
  --sysfs [ROOT]      this machine's functions (ROOT defaults to
                      /sys/bus/pci/devices); only PCI domain 0 is reachable
                      through ports 0xCF8/0xCFC, others are skipped.
  --scenario FILE     one function per line, '#' starts a comment.
  --function LINE     one such line from the command line.

A function line, numbers in hex:
  BUS[-BUS]:DEV[-DEV].FN  VENDOR:DEVICE  [SUBVENDOR:SUBDEVICE [COMMAND]]  [KEY=VALUE ...]
Ranges give one function per bus/device in the range (e.g. 01:00-10.0 is 17
devices). KEY is one of class (24-bit class code), rev, status, hdr (header
type byte) or reg.OFF (the dword at config offset OFF, applied last).
COMMAND defaults to 0007, the subsystem to 0000:0000. Function 0 of a device
with more than one function gets the multi-function bit in its header type,
unless hdr= is given.

--expect FILE writes the resulting functions as "bb:dd.f=vvvv:dddd" lines,
the form ioctl_probe takes for its expectations.
"""

import argparse
import os
import re
import struct
import sys

KEY_PATH = r"HKEY_LOCAL_MACHINE\Software\QvzylTestBus"
VALUE_NAME = "Functions"
CONFIG_BYTES = 256
BYTES_PER_LINE = 24

REG_VENDOR_ID = 0x00
REG_COMMAND = 0x04
REG_CLASS_REV = 0x08
REG_HEADER_DWORD = 0x0C
REG_SUBSYSTEM = 0x2C
HEADER_TYPE_BYTE = 0x0E
MULTI_FUNCTION_BIT = 0x80
DEFAULT_COMMAND = 0x0007

_ADDRESS = re.compile(
    r"^([0-9a-f]{1,2})(?:-([0-9a-f]{1,2}))?:([0-9a-f]{1,2})(?:-([0-9a-f]{1,2}))?\.([0-7])$", re.I)
_PAIR = re.compile(r"^([0-9a-f]{1,4}):([0-9a-f]{1,4})$", re.I)
_SYSFS_NAME = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{2}):([0-9a-f]{2})\.([0-7])$", re.I)


class TopologyError(Exception):
    pass


class Function:
    """One function's address and config space (256 bytes)."""

    def __init__(self, bus, device, function, config, explicit_header=False):
        self.bus, self.device, self.function = bus, device, function
        self.config = bytearray(config.ljust(CONFIG_BYTES, b"\0")[:CONFIG_BYTES])
        self.explicit_header = explicit_header

    @property
    def address(self):
        return (self.bus, self.device, self.function)

    def dword(self, offset):
        return struct.unpack_from("<I", self.config, offset)[0]

    def set_dword(self, offset, value):
        struct.pack_into("<I", self.config, offset, value & 0xFFFFFFFF)

    def record(self):
        return bytes([self.bus, self.device, self.function, 0]) + bytes(self.config)

    def expectation(self):
        ident = self.dword(REG_VENDOR_ID)
        return "%02x:%02x.%x=%04x:%04x" % (self.bus, self.device, self.function,
                                           ident & 0xFFFF, ident >> 16)


def _hex(text, limit, what):
    try:
        value = int(text, 16)
    except ValueError:
        raise TopologyError("%s '%s' is not hex" % (what, text)) from None
    if value > limit:
        raise TopologyError("%s %s is above %x" % (what, text, limit))
    return value


def _pair(text, what):
    m = _PAIR.match(text)
    if not m:
        raise TopologyError("%s '%s' is not XXXX:XXXX" % (what, text))
    return int(m.group(1), 16), int(m.group(2), 16)


def parse_function_line(line):
    """One scenario line to a list of Functions (several for a range)."""
    fields = line.split()
    if len(fields) < 2:
        raise TopologyError("need at least an address and VENDOR:DEVICE")
    m = _ADDRESS.match(fields[0])
    if not m:
        raise TopologyError("address '%s' is not BUS:DEV.FN" % fields[0])
    bus_lo = int(m.group(1), 16)
    bus_hi = int(m.group(2), 16) if m.group(2) else bus_lo
    dev_lo = int(m.group(3), 16)
    dev_hi = int(m.group(4), 16) if m.group(4) else dev_lo
    fn = int(m.group(5))
    if bus_hi < bus_lo or dev_hi < dev_lo or dev_hi > 31:
        raise TopologyError("bad address range '%s'" % fields[0])

    vendor, device = _pair(fields[1], "VENDOR:DEVICE")
    subvendor, subdevice, command = 0, 0, DEFAULT_COMMAND
    positional = [f for f in fields[2:] if "=" not in f]
    options = [f for f in fields[2:] if "=" in f]
    if len(positional) > 2:
        raise TopologyError("unexpected '%s'" % positional[2])
    if positional:
        subvendor, subdevice = _pair(positional[0], "SUBVENDOR:SUBDEVICE")
    if len(positional) > 1:
        command = _hex(positional[1], 0xFFFF, "command")

    template = Function(0, 0, fn, b"")
    template.set_dword(REG_VENDOR_ID, device << 16 | vendor)
    template.set_dword(REG_COMMAND, command)
    template.set_dword(REG_SUBSYSTEM, subdevice << 16 | subvendor)
    overrides = []
    for option in options:
        key, value = option.split("=", 1)
        key = key.lower()
        if key == "class":
            template.config[0x09:0x0C] = _hex(value, 0xFFFFFF, key).to_bytes(3, "little")
        elif key == "rev":
            template.config[0x08] = _hex(value, 0xFF, key)
        elif key == "status":
            template.config[0x06:0x08] = _hex(value, 0xFFFF, key).to_bytes(2, "little")
        elif key == "hdr":
            template.config[HEADER_TYPE_BYTE] = _hex(value, 0xFF, key)
            template.explicit_header = True
        elif key.startswith("reg."):
            offset = _hex(key[4:], 0xFC, "register offset")
            if offset % 4:
                raise TopologyError("register offset %s is not dword aligned" % key[4:])
            overrides.append((offset, _hex(value, 0xFFFFFFFF, key)))
        else:
            raise TopologyError("unknown key '%s'" % key)
    for offset, value in overrides:
        template.set_dword(offset, value)

    return [Function(bus, dev, fn, bytes(template.config), template.explicit_header)
            for bus in range(bus_lo, bus_hi + 1) for dev in range(dev_lo, dev_hi + 1)]


def parse_scenario(text, source="<scenario>"):
    functions = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            functions.extend(parse_function_line(line))
        except TopologyError as error:
            raise TopologyError("%s:%d: %s" % (source, number, error)) from None
    return functions


def read_sysfs(root):
    """This machine's domain-0 functions, with as much config space as is readable."""
    functions = []
    for name in sorted(os.listdir(root)):
        m = _SYSFS_NAME.match(name)
        if not m:
            continue
        if int(m.group(1), 16) != 0:
            print("pci_topology: skipping %s: not in PCI domain 0" % name, file=sys.stderr)
            continue
        with open(os.path.join(root, name, "config"), "rb") as f:
            config = f.read(CONFIG_BYTES)
        if len(config) < CONFIG_BYTES:
            print("pci_topology: %s: only %d config bytes readable, rest zero" % (name, len(config)),
                  file=sys.stderr)
        functions.append(Function(int(m.group(2), 16), int(m.group(3), 16), int(m.group(4)),
                                  config, explicit_header=True))
    return functions


def merge(functions):
    """Later functions replace earlier ones at the same address; sorted by address."""
    by_address = {}
    for f in functions:
        by_address[f.address] = f
    merged = [by_address[a] for a in sorted(by_address)]
    devices_with_siblings = {(f.bus, f.device) for f in merged if f.function != 0}
    for f in merged:
        if f.function == 0 and not f.explicit_header and (f.bus, f.device) in devices_with_siblings:
            f.config[HEADER_TYPE_BYTE] |= MULTI_FUNCTION_BIT
    return merged


def to_reg(functions):
    data = b"".join(f.record() for f in functions)
    lines = ["REGEDIT4", "", "[-%s]" % KEY_PATH, "", "[%s]" % KEY_PATH]
    prefix = '"%s"=hex:' % VALUE_NAME
    chunks = [",".join("%02x" % b for b in data[i:i + BYTES_PER_LINE])
              for i in range(0, len(data), BYTES_PER_LINE)]
    if not chunks:
        lines.append(prefix)
    else:
        lines.append(prefix + (",\\\n  ".join(chunks)))
    # Windows line ends, as regedit itself writes them.
    return ("\n".join(lines) + "\n\n").replace("\n", "\r\n")


class _Append(argparse.Action):
    """Keeps --sysfs, --scenario and --function in command-line order."""

    def __call__(self, parser, namespace, values, option_string=None):
        namespace.sources.append((self.dest, values))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(sources=[])
    parser.add_argument("--sysfs", nargs="?", const="/sys/bus/pci/devices", action=_Append)
    parser.add_argument("--scenario", action=_Append)
    parser.add_argument("--function", action=_Append)
    parser.add_argument("-o", "--output", help="the .reg file (default: standard output)")
    parser.add_argument("--expect", help="also write ioctl_probe expectations to this file")
    args = parser.parse_args(argv)

    functions = []
    try:
        for kind, value in args.sources:
            if kind == "sysfs":
                functions.extend(read_sysfs(value))
            elif kind == "scenario":
                with open(value, encoding="utf-8") as f:
                    functions.extend(parse_scenario(f.read(), value))
            else:
                functions.extend(parse_scenario(value, "--function"))
    except (TopologyError, OSError) as error:
        print("pci_topology: %s" % error, file=sys.stderr)
        return 2
    functions = merge(functions)

    text = to_reg(functions)
    if args.output:
        with open(args.output, "w", encoding="ascii", newline="") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    if args.expect:
        with open(args.expect, "w", encoding="ascii") as f:
            f.writelines(fn.expectation() + "\n" for fn in functions)
    print("pci_topology: %d functions" % len(functions), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
