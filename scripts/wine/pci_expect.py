#!/usr/bin/env python3
"""What the library's scans must find on a replay of this machine's PCI bus.

Reads `lspci -D -nmm` output (a file, or standard input) and prints the
expectations the end-to-end run checks, one per line:

  id DWORD COUNT              ID mode: COUNT devices with a function of that ID
  subsys DWORD COUNT FOUNDID  subsystem-only mode: COUNT matches, FOUNDID the ID
                              dword of the last one (bus, device order)

DWORDs are 0x-prefixed hex in the library's form (high 16 bits device or
subsystem ID, low 16 bits vendor). Only PCI domain 0 counts (the others are
beyond ports 0xCF8/0xCFC). The ID mode counts a device once, at its first
function with the ID; the subsystem-only mode looks at function 0 alone, and
only at functions with a type-0 header, where the subsystem sits at 0x2C
(bridges are left out).

  --ids N      the N IDs found on the most devices (default 1)
  --subsys N   up to N distinct subsystems of function-0 devices (default 3)
"""

import argparse
import shlex
import sys

BRIDGE_CLASSES = {"0604", "0607", "0609"}


def parse(lines):
    functions = []
    for line in lines:
        fields = shlex.split(line)
        if len(fields) < 4:
            continue
        slot, cls, vendor, device = fields[:4]
        rest = [f for f in fields[4:] if not f.startswith("-")]
        svendor, sdevice = (rest + ["", ""])[:2]
        domain, bus, devfn = slot.split(":")
        dev, fn = devfn.split(".")
        if int(domain, 16) != 0:
            continue
        functions.append({
            "bus": int(bus, 16), "dev": int(dev, 16), "fn": int(fn, 16),
            "cls": cls[:4].lower(), "id": int(device, 16) << 16 | int(vendor, 16),
            "subsys": (int(sdevice, 16) << 16 | int(svendor, 16)) if svendor and sdevice else None,
        })
    functions.sort(key=lambda f: (f["bus"], f["dev"], f["fn"]))
    return functions


def id_expectations(functions, limit):
    devices = {}
    for f in functions:
        devices.setdefault(f["id"], set()).add((f["bus"], f["dev"]))
    ranked = sorted(devices.items(), key=lambda item: (-len(item[1]), item[0]))
    return [(dword, len(where)) for dword, where in ranked[:limit]]


def subsys_expectations(functions, limit):
    found = {}
    for f in functions:
        if f["fn"] != 0 or f["subsys"] in (None, 0) or f["cls"] in BRIDGE_CLASSES:
            continue
        count, _ = found.get(f["subsys"], (0, 0))
        found[f["subsys"]] = (count + 1, f["id"])
    return [(s, c, last) for s, (c, last) in list(found.items())[:limit]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lspci", nargs="?", help="lspci -D -nmm output (default: stdin)")
    parser.add_argument("--ids", type=int, default=1)
    parser.add_argument("--subsys", type=int, default=3)
    args = parser.parse_args()
    text = open(args.lspci).read() if args.lspci else sys.stdin.read()
    functions = parse(text.splitlines())
    for dword, count in id_expectations(functions, args.ids):
        print(f"id 0x{dword:08X} {count}")
    for dword, count, last in subsys_expectations(functions, args.subsys):
        print(f"subsys 0x{dword:08X} {count} 0x{last:08X}")


if __name__ == "__main__":
    main()
