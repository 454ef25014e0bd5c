#!/usr/bin/env python3
# Loads the hardware access library in the service, counts the adapter's PCI functions by their
# subsystem and asks whether the first works: the client library through ctypes, standard
# library only. usage: zyl_example.py [runtime-dir] (Linux only). The README shows the program
# from its imports on; CI runs it.
import ctypes
import sys


class Options(ctypes.Structure):  # zyl_options
    _fields_ = [("size", ctypes.c_uint32), ("timeout_ms", ctypes.c_uint32),
                ("runtime_dir", ctypes.c_char_p), ("progress", ctypes.c_void_p),
                ("progress_context", ctypes.c_void_p), ("message", ctypes.c_void_p),
                ("message_size", ctypes.c_uint32)]


lib = ctypes.CDLL("zylclient.dll" if sys.platform == "win32" else "libzylclient.so.1")
i32p, u32p, u16p = (ctypes.POINTER(t) for t in (ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint16))
optp = ctypes.POINTER(Options)
lib.zyl_load.argtypes = [i32p, optp]
lib.zyl_count_by_subsystem.argtypes = [ctypes.c_uint32, i32p, u32p, u16p, u16p, optp]
lib.zyl_query.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, i32p, optp]
lib.zyl_result_text.argtypes = [ctypes.c_int32]
lib.zyl_result_text.restype = ctypes.c_char_p  # left out, ctypes cuts the pointer to an int

ADAPTER_SUBSYSTEM = 0x81CE104D  # subsystem ID 0x81CE << 16 | subsystem vendor ID 0x104D
message = ctypes.create_string_buffer(256)  # the cause of a failure
options = Options(size=ctypes.sizeof(Options), message=ctypes.addressof(message),
                  message_size=len(message))
if len(sys.argv) > 1:
    options.runtime_dir = sys.argv[1].encode()  # Linux; the default is /run/vokzyl
result, count = ctypes.c_int32(), ctypes.c_uint32()
vendor, device = ctypes.c_uint16(), ctypes.c_uint16()


def check(what, status):
    if status != 0:  # ZYL_STATUS_OK
        sys.exit(f"{what}: {message.value.decode()}")
    print(f"{what}: result {result.value} ({lib.zyl_result_text(result.value).decode()})")


check("load", lib.zyl_load(ctypes.byref(result), ctypes.byref(options)))
check("count", lib.zyl_count_by_subsystem(ADAPTER_SUBSYSTEM, ctypes.byref(result),
                                          ctypes.byref(count), ctypes.byref(vendor),
                                          ctypes.byref(device), ctypes.byref(options)))
print(f"count: {count.value}, the first {vendor.value:04X}:{device.value:04X}")
if count.value > 0:
    check("query", lib.zyl_query(0, ADAPTER_SUBSYSTEM, 0, ctypes.byref(result),
                                 ctypes.byref(options)))
