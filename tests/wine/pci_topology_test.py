#!/usr/bin/env python3
"""Tests of scripts/wine/pci_topology.py: the records the test driver will parse."""

import os
import re
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "wine"))
import pci_topology as pt  # noqa: E402


def records_from_reg(text):
    """Decodes the "Functions" value of a .reg file back into (address, config) pairs."""
    body = text.split('"Functions"=hex:', 1)[1]
    data = bytes(int(h, 16) for h in re.findall(r"[0-9a-f]{2}", body))
    assert len(data) % 260 == 0
    return [(tuple(data[i:i + 3]), data[i + 4:i + 260]) for i in range(0, len(data), 260)]


class FunctionLineTest(unittest.TestCase):

    def test_fields_land_in_their_registers(self):
        (f,) = pt.parse_function_line("03:1f.7 104d:81ce 1987:5000 0406 class=058000 rev=02")
        self.assertEqual(f.address, (3, 31, 7))
        self.assertEqual(f.dword(0x00), 0x81CE104D)
        self.assertEqual(f.dword(0x04), 0x00000406)
        self.assertEqual(f.dword(0x08), 0x05800002)
        self.assertEqual(f.dword(0x2C), 0x50001987)

    def test_defaults_and_register_override(self):
        (f,) = pt.parse_function_line("00:00.0 1234:abcd status=0290 reg.2c=deadbeef")
        self.assertEqual(f.dword(0x04), 0x02900007)
        self.assertEqual(f.dword(0x2C), 0xDEADBEEF)

    def test_range_gives_one_function_per_device(self):
        functions = pt.parse_function_line("01-02:00-10.0 104d:81ce")
        self.assertEqual(len(functions), 34)
        self.assertEqual(functions[0].address, (1, 0, 0))
        self.assertEqual(functions[-1].address, (2, 16, 0))
        functions[0].set_dword(0, 0)  # each function owns its config space
        self.assertEqual(functions[1].dword(0), 0x81CE104D)

    def test_bad_lines_name_their_line(self):
        for line in ("00:20.0 1234:5678", "00:00.8 1234:5678", "0:0 1234:5678",
                     "00:00.0 12345:1", "00:00.0 1234:5678 reg.2d=1", "00:00.0 1:2 color=3",
                     "00:00.0 1:2 3:4 5 6", "00:05-03.0 1:2"):
            with self.assertRaises(pt.TopologyError, msg=line) as caught:
                pt.parse_scenario("# header\n" + line, "s.txt")
            self.assertIn("s.txt:2:", str(caught.exception))


class MergeTest(unittest.TestCase):

    def test_later_source_wins_and_order_is_by_address(self):
        merged = pt.merge(pt.parse_scenario("01:00.0 1:1\n00:00.0 2:2\n01:00.0 3:3"))
        self.assertEqual([f.address for f in merged], [(0, 0, 0), (1, 0, 0)])
        self.assertEqual(merged[1].dword(0), 0x00030003)

    def test_multi_function_bit_only_where_siblings_exist(self):
        merged = pt.merge(pt.parse_scenario("00:01.0 1:1\n00:01.2 1:2\n00:02.0 1:3\n"
                                            "00:03.0 1:4 hdr=00\n00:03.1 1:5"))
        header = {f.address: f.config[0x0E] for f in merged}
        self.assertEqual(header[(0, 1, 0)], 0x80)
        self.assertEqual(header[(0, 1, 2)], 0x00)
        self.assertEqual(header[(0, 2, 0)], 0x00)
        self.assertEqual(header[(0, 3, 0)], 0x00)


class RegFileTest(unittest.TestCase):

    def test_round_trip(self):
        functions = pt.merge(pt.parse_scenario("00:1c.2 104d:81ce 104d:81ce 0\nff:1f.7 1:2"))
        text = pt.to_reg(functions)
        self.assertTrue(text.startswith("REGEDIT4\r\n"))
        self.assertIn("[-HKEY_LOCAL_MACHINE\\Software\\QvzylTestBus]\r\n", text)
        records = records_from_reg(text)
        self.assertEqual([a for a, _ in records], [(0, 28, 2), (255, 31, 7)])
        self.assertEqual(struct.unpack_from("<I", records[0][1], 0)[0], 0x81CE104D)
        self.assertEqual(records[1][1], bytes(functions[1].config))
        for line in text.split("\r\n"):
            self.assertNotIn("\n", line)

    def test_empty_topology_is_an_empty_value(self):
        self.assertIn('"Functions"=hex:\r\n', pt.to_reg([]))


class SysfsTest(unittest.TestCase):

    def test_reads_domain_zero_and_pads_short_config(self):
        with tempfile.TemporaryDirectory() as root:
            for name, config in (("0000:00:1f.3", bytes(range(256)) + b"x" * 100),
                                 ("0000:02:00.0", b"\x86\x80\x34\x12" + b"\0" * 60),
                                 ("0001:00:00.0", b"\xff" * 256)):
                os.mkdir(os.path.join(root, name))
                with open(os.path.join(root, name, "config"), "wb") as f:
                    f.write(config)
            stderr, sys.stderr = sys.stderr, open(os.devnull, "w")
            try:
                functions = pt.read_sysfs(root)
            finally:
                sys.stderr.close()
                sys.stderr = stderr
        self.assertEqual([f.address for f in functions], [(0, 31, 3), (2, 0, 0)])
        self.assertEqual(bytes(functions[0].config), bytes(range(256)))
        self.assertEqual(functions[1].dword(0), 0x12348086)
        self.assertEqual(len(functions[1].config), 256)


if __name__ == "__main__":
    unittest.main()
