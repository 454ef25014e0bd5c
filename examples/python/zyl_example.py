#!/usr/bin/env python3
"""Loads the hardware access library in the service, counts the adapter's PCI functions by their
subsystem and asks whether the first works: the client library through ctypes, standard library only.

usage: zyl_example.py [--library PATH] [--runtime-dir DIR]
"""
import argparse
import ctypes
import ctypes.util
import sys

ADAPTER_SUBSYSTEM = 0x81CE104D  # subsystem 81CE, subsystem vendor 104D
STATUS_OK = 0


class Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("timeout_ms", ctypes.c_uint32),
        ("runtime_dir", ctypes.c_char_p),
        ("progress", ctypes.c_void_p),
        ("progress_context", ctypes.c_void_p),
    ]


def open_library(path):
    name = path or ctypes.util.find_library("zylclient") or (
        "zylclient.dll" if sys.platform == "win32" else "libzylclient.so.1")
    lib = ctypes.CDLL(name)
    i32p, u32p = ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_uint32)
    optp = ctypes.POINTER(Options)
    lib.zyl_load.argtypes = [i32p, optp]
    u16p = ctypes.POINTER(ctypes.c_uint16)
    lib.zyl_count_by_subsystem.argtypes = [ctypes.c_uint32, i32p, u32p, u16p, u16p, optp]
    lib.zyl_query.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, i32p, optp]
    lib.zyl_status_text.argtypes = [ctypes.c_int]
    lib.zyl_status_text.restype = ctypes.c_char_p
    lib.zyl_result_text.argtypes = [ctypes.c_int32]
    lib.zyl_result_text.restype = ctypes.c_char_p
    return lib


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", help="path of the client library")
    parser.add_argument("--runtime-dir", help="(Linux) the service's runtime directory")
    args = parser.parse_args()

    lib = open_library(args.library)
    options = Options(size=ctypes.sizeof(Options))
    if args.runtime_dir:
        options.runtime_dir = args.runtime_dir.encode()
    result, count = ctypes.c_int32(), ctypes.c_uint32()
    vendor, device = ctypes.c_uint16(), ctypes.c_uint16()

    def check(what, status):
        if status != STATUS_OK:
            sys.exit(f"{what}: {lib.zyl_status_text(status).decode()}")
        print(f"{what}: result {result.value} ({lib.zyl_result_text(result.value).decode()})")

    check("load", lib.zyl_load(ctypes.byref(result), ctypes.byref(options)))
    check("count", lib.zyl_count_by_subsystem(
        ADAPTER_SUBSYSTEM, ctypes.byref(result), ctypes.byref(count), ctypes.byref(vendor),
        ctypes.byref(device), ctypes.byref(options)))
    print(f"count: {count.value}, the first {vendor.value:04X}:{device.value:04X}")
    if count.value > 0:
        check("query", lib.zyl_query(0, ADAPTER_SUBSYSTEM, 0, ctypes.byref(result),
                                     ctypes.byref(options)))


if __name__ == "__main__":
    main()
