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


# --- fuzz_pci_scan: setup, the value palette, QV_GetPciCommandReg indexes, function records.
SCAN_ID, SCAN_SUB, SCAN_OTHER_ID, SCAN_OTHER_SUB = 0x1234ABCD, 0x00017A1B, 0x0D578086, 0x11111111
ID_MODE, BOTH_MODE, SUBSYSTEM_MODE, ZERO_MODE = 0, 1, 2, 3
NO_DEVICE, NO_FOUND_OUT = 0x04, 0x08
# ID/subsystem picks of a function record: wanted, other, all ones, zero.
WANTED, OTHER, ONES, ZERO = 0, 1, 2, 3


def scan_seed(setup, indexes, functions, palette=(SCAN_ID, SCAN_SUB, SCAN_OTHER_ID, SCAN_OTHER_SUB)):
    assert len(indexes) <= 3
    out = u8(setup) + b"".join(u32(v) for v in palette) + u8(len(indexes))
    for index in indexes:
        out += u8(index & 0xFF) if -128 < index < 128 else u8(0x80) + u32(index)
    return out + b"".join(functions)


def function(bus, device, fn, id_pick, sub_pick, command, run=0, all_functions=False):
    choice = id_pick | sub_pick << 3 | (0x40 if run else 0) | (0x80 if all_functions else 0)
    out = u8(bus) + u8(device << 3 | fn) + u8(choice) + u32(command)
    return out + (u8(run - 1) if run else b"")


SCAN = {
    "id_multifunction": scan_seed(ID_MODE, [0, 1, -1], [
        function(0, 3, 0, OTHER, WANTED, 0x07), function(0, 3, 2, WANTED, WANTED, 0x0146),
        function(2, 5, 0, WANTED, ZERO, 0x02), function(2, 5, 1, WANTED, ZERO, 0x06)]),
    "id_subsystem_first_decides": scan_seed(BOTH_MODE, [0, 1], [
        function(0, 4, 0, WANTED, OTHER, 0x07), function(0, 4, 1, WANTED, WANTED, 0x07),
        function(7, 31, 7, WANTED, WANTED, 0xFFFF)]),
    "subsystem_only": scan_seed(SUBSYSTEM_MODE, [0, 2, 3], [
        function(0, 1, 0, OTHER, WANTED, 0x03), function(0, 2, 1, WANTED, WANTED, 0x03),
        function(0, 6, 0, ZERO, WANTED, 0x0105), function(0, 8, 0, ONES, WANTED, 0x07),
        function(255, 31, 0, WANTED, WANTED, 0x0481)]),
    "more_than_sixteen": scan_seed(BOTH_MODE, [15, 16, -128 * 2], [
        function(1, 0, 0, WANTED, WANTED, 0x0107, run=20),
        function(3, 0, 0, WANTED, WANTED, 0x0001, run=3, all_functions=True)]),
    "subsystem_only_overflow": scan_seed(SUBSYSTEM_MODE | NO_FOUND_OUT, [16, 15, 39], [
        function(0, 0, 0, OTHER, WANTED, 0x0146, run=40)]),
    "all_ones_wanted": scan_seed(ID_MODE, [0], [
        function(0, 0, 0, ONES, ONES, 0x07, run=4, all_functions=True),
        function(0, 5, 3, WANTED, ONES, 0x07)], palette=(0xFFFFFFFF, 0xFFFFFFFF, 0, 0)),
    "zero_ids": scan_seed(ZERO_MODE, [0, 1], [
        function(0, 2, 4, ZERO, OTHER, 0x0055), function(0, 2, 6, ZERO, ZERO, 0x0066),
        function(9, 9, 0, OTHER, ZERO, 0x0077)]),
    "without_device": scan_seed(ZERO_MODE | NO_DEVICE, [0, 15, 16], []),
    "without_device_id": scan_seed(ID_MODE | NO_DEVICE, [0], [function(0, 3, 0, WANTED, WANTED, 7)]),
}

# --- fuzz_library_exports: setup, then calls (low nibble the call, high nibble its argument).
X64, X86, NO_NATIVE_INFO, ARM64 = 0, 1, 2, 3
RUN_OF_ADAPTERS = 0x04
FOLLOWS, PRESENT, MISSING = 0x00, 0x08, 0x10
INIT, EXIT, LAST_ERROR, WINDOW, COUNT, COMMAND, VERSION, STATUS = range(8)
FAIL, CLEAR, FAIL_START, DEVICE, ARCH, SERVICE, HOST_PATH = range(8, 15)
OPEN_MANAGER, CREATE, OPEN_SERVICE, START, CONTROL, DELETE, LOAD_LIBRARY, OPEN_DEVICE = range(8)
E_EXISTS, E_RUNNING, E_BAD_DRIVER, E_DENIED, E_NOT_FOUND, E_SHARING = range(6)


def call(which, a=0, *extra):
    return u8(a << 4 | which) + b"".join(extra)


def window(has_window, message):
    return call(WINDOW, (1 if has_window else 0) | (2 if message is not None else 0),
                u32(message) if message is not None else b"")


EXPORTS = {
    "session": u8(X64 | RUN_OF_ADAPTERS) + call(INIT) + call(COUNT, 1) + call(COMMAND, 1, u8(0)) +
    call(COMMAND, 1, u8(16)) + call(LAST_ERROR) + window(False, None) + window(True, 0) +
    window(True, 0x0400) + call(VERSION) + call(EXIT),
    "bad_driver": u8(X64) + call(FAIL_START, 0, u8(E_BAD_DRIVER)) + call(INIT) +
    call(FAIL, OPEN_MANAGER, u8(E_DENIED)) + call(INIT) + call(LAST_ERROR) + call(EXIT),
    "bad_driver_x86": u8(X86) + call(FAIL_START, 1, u8(E_BAD_DRIVER)) + call(INIT) + call(EXIT),
    "no_manager": u8(X64 | PRESENT) + call(FAIL, OPEN_MANAGER, u8(E_DENIED)) + call(INIT) +
    call(DEVICE, 2) + call(INIT) + call(COUNT, 2) + call(EXIT),
    "refused_exit": u8(X64) + call(INIT) + call(STATUS, 9) + call(EXIT) + call(STATUS, 15, u32(-7)),
    "delete_fails": u8(X64) + call(INIT) + call(FAIL, DELETE, u8(E_DENIED)) + call(EXIT) +
    call(COUNT, 0) + call(CLEAR, DELETE) + call(EXIT),
    "host_paths": u8(X64) + call(HOST_PATH, 1) + call(INIT) + call(HOST_PATH, 3) + call(INIT) +
    call(ARCH, 1) + call(INIT) + call(HOST_PATH, 2) + call(INIT) + call(EXIT),
    "repeated_init": u8(ARM64 | RUN_OF_ADAPTERS) + call(INIT) + call(INIT) + call(COUNT, 3) +
    call(INIT) + call(EXIT) + call(EXIT),
    "existing_services": u8(NO_NATIVE_INFO) + call(SERVICE, 1 | 1 << 1) + call(SERVICE, 0) +
    call(INIT) + call(FAIL, CREATE, u8(11), u32(1072)) + call(INIT) + call(EXIT),
    "before_init": u8(X64) + call(COUNT, 2) + call(COMMAND, 0, u8(0)) + call(EXIT) +
    call(LAST_ERROR) + call(VERSION) + call(INIT),
    "device_refuses": u8(X64 | PRESENT) + call(FAIL, OPEN_DEVICE, u8(E_SHARING)) + call(INIT) +
    call(FAIL, START, u8(E_RUNNING)) + call(FAIL, LOAD_LIBRARY, u8(E_DENIED)) + call(INIT) +
    call(CLEAR, OPEN_DEVICE) + call(INIT) + call(EXIT),
}


def write(target, seeds):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


write("fuzz_pipe_iteration", PIPE)
write("fuzz_hardware_ids", IDS)
write("fuzz_pci_scan", SCAN)
write("fuzz_library_exports", EXPORTS)
