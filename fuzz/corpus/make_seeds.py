#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets (one folder per target, beside this script).

The byte layouts are those the targets read with ByteReader, front to back; see the targets'
LLVMFuzzerTestOneInput. Re-run after changing a layout: python3 fuzz/corpus/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ADAPTER_IDS = [
    "PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00",
    "PCI\\VEN_1987&DEV_5000&SUBSYS_50001987&REV_01",
    "PCI\\VEN_104D&DEV_905C&SUBSYS_81CE104D&REV_00",
]


def u8(v): return struct.pack("<B", v)
def u16(v): return struct.pack("<H", v)
def u32(v): return struct.pack("<I", v & 0xFFFFFFFF)
def utf16(text): return text.encode("utf-16-le")
def multi_sz(*ids): return b"".join(utf16(i) + b"\0\0" for i in ids) + b"\0\0"


def node(kind, extra=b"", flags=0x02, more=0, read_error=0):
    """kind 0 none, 1-3 fixed ID, 4 context ID, 5 near miss (extra), 6-7 raw (extra)."""
    return u8(kind) + extra + u8(flags) + u8(more) + u8(read_error)


def raw_node(data, **kw): return node(6, u16(len(data)) + data, **kw)


def record(command, match_id=0, subsys=0, count=0, result=-77, vendor=0x5555, device=0x6666):
    return struct.pack("<IIIIiHH", command, match_id, subsys, count, result, vendor, device)


def client(data, flags=0, piece=0): return u8(flags) + u8(piece) + u8(len(data)) + data


def pipe_seed(setup, nodes, clients, answers=b"", hint=(0, 0), list_error=None, lies=b""):
    out = u8(setup) + u16(hint[0]) + u16(hint[1]) + u8(len(nodes)) + b"".join(nodes)
    if setup & 0x10:
        out += u32(list_error)
    out += u8(len(lies)) + lies + u8(len(clients) - 1) + b"".join(clients)
    return out + answers


def ids_seed(setup, vendor, device, matcher, nodes, ops, list_error=None, lies=b""):
    out = u8(setup) + u16(vendor) + u16(device) + u16(len(matcher)) + matcher
    out += u8(len(nodes)) + b"".join(nodes)
    if setup & 0x01:
        out += u32(list_error)
    out += u8(len(lies)) + lies
    for mode, error in ops:
        out += u8(mode) + (u32(7) if mode == 3 else b"") + u32(error)
    return out


ALL_EXPORTS = 0x0F
LOAD = u32(0)                                   # QV_InitLibrary's answer
COUNT_FOUND = u8(0x03) + u32(1) + u32(0x81CE104D)  # stores count 1 and the found ID
COMMAND_SET = u8(0x01) + u32(0x0107)            # command register with bits set

PIPE = {
    "session": pipe_seed(ALL_EXPORTS, [node(1)],
                         [client(record(c)) for c in (0, 1, 2, 3, 4, 5)],
                         LOAD + COUNT_FOUND + COMMAND_SET),
    "no_context": pipe_seed(ALL_EXPORTS, [node(1)], [client(record(c)) for c in (1, 2, 3, 4)]),
    "short_and_pieces": pipe_seed(ALL_EXPORTS, [],
                                  [client(record(0)[:23]), client(record(0), piece=10),
                                   client(b""), client(record(0), piece=0xFF),
                                   client(record(0) + b"\xee" * 8)], LOAD * 2),
    "without_events": pipe_seed(ALL_EXPORTS, [],
                                [client(record(0), flags=1), client(record(0), flags=3),
                                 client(record(0), flags=4)], LOAD),
    "no_library": pipe_seed(0x00, [node(1)], [client(record(c)) for c in (0, 1, 2)]),
    "missing_exports": pipe_seed(0x01, [node(1)], [client(record(c)) for c in (0, 1, 2)]),
    "context_id": pipe_seed(ALL_EXPORTS, [node(4), node(4, flags=0x06)],
                            [client(record(0)), client(record(1, 0xABCD1234)),
                             client(record(3)), client(record(4))],
                            LOAD + u8(0x01) + u32(2), hint=(0x1234, 0xABCD)),
    "device_failures": pipe_seed(ALL_EXPORTS | 0x20, [node(1, flags=0x05, more=0x2F)],
                                 [client(record(c)) for c in (0, 1, 3, 4)],
                                 LOAD + COUNT_FOUND),
}

FIXED = multi_sz(ADAPTER_IDS[0])
IDS = {
    "query_fixed": ids_seed(0x00, 0, 0, FIXED, [node(1)], [(0, 0)]),
    "odd_unterminated": ids_seed(0x00, 0x104D, 0x81CE, utf16(ADAPTER_IDS[0]) + b"\x50",
                                 [raw_node(b"\x50\x00\x43"), raw_node(b"")], [(0, 0)]),
    "disable_two": ids_seed(0x10, 0, 0, b"", [node(1), node(0), node(2, flags=0x06)],
                            [(2, 5), (1, 0)]),
    "enable_reenumerate": ids_seed(0x00, 0, 0, b"", [node(3, flags=0x0A, more=0x10)], [(1, 0)]),
    "list_fails": ids_seed(0x05, 0, 0, b"", [node(1)], [(0, 0)], list_error=0x1F),
    "size_lies": ids_seed(0x20, 0x1234, 0xABCD, b"", [node(4, more=0x40), raw_node(FIXED)],
                          [(0, 0), (3, 0), (2, 0)], lies=b"\x01\xff\x80\x90"),
    "blank_vendor": ids_seed(0x00, 0x0E11, 0x0001, multi_sz("PCI\\VEN_ E11&DEV_   1"),
                             [node(4), node(5, u8(1) + u8(1) + u8(10))], [(0, 0)]),
    "read_error": ids_seed(0x04, 0, 0, b"", [node(1), node(6, u16(2) + b"A\0", read_error=5),
                                             node(2)], [(1, 0)]),
}


def write(target, seeds):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


write("fuzz_pipe_iteration", PIPE)
write("fuzz_hardware_ids", IDS)
