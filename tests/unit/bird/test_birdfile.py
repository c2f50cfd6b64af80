"""The writer and reader of sim/birdfile.py agree with each other and with
the layout: what build_bird writes, parse_bird reads back field for field."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, ROOT)

from sim import birdfile as bf  # noqa: E402

FINGERPRINT = [0x01020304, 0xA0B0C0D0, 5, 0xFFFFFFFF]


class LayoutTest(unittest.TestCase):
    def test_header_and_record_bytes(self):
        data = bf.build_bird([bf.Block(9, b"\xAA", flags=5)], checksum=0x11223344)
        self.assertEqual(data[:6], b"bird\x01\x01")
        self.assertEqual(zlib.decompress(data[6:]),
                         b"\x00\x00\x00\x01" + bytes([9 | 5 << 5]) + b"\x00\x00\x00\x01\xAA" + b"\x11\x22\x33\x44")

    def test_info_block_fields(self):
        block = bf.info_block(1234, "1.2.3", 0x12AB, "HUB")
        self.assertEqual(len(block.payload), 64)
        self.assertEqual(block.payload[32:48], b"000012AB        ")
        self.assertEqual(bf.info_fields(block.payload)[3], "HUB" + " " * 13)


class RoundTripTest(unittest.TestCase):
    def test_parse_reads_what_build_wrote(self):
        blocks = [bf.loader_block(0x20000400, b"L" * 10, 1), bf.firmware_block(0x1000, bytes(range(256)), 7),
                  bf.serial_offsets_block(0x1010, 0x1020), bf.loader_start_block(0x20000400), bf.Block(31, b"")]
        contents = bf.parse_bird(bf.build_bird(blocks, level=1))
        self.assertEqual(contents.problems, [])
        self.assertEqual([(b.type, b.flags, b.payload) for b in contents.blocks],
                         [(b.type, b.flags, b.payload) for b in blocks])
        self.assertEqual(contents.blocks[1].address, 0x1000)

    def test_damage_is_reported(self):
        contents = bf.parse_bird(bf.build_bird([bf.info_block()], declared_count=3, checksum_bytes=1))
        self.assertIn("declares 3 blocks, holds 1", contents.problems)
        self.assertIn("checksum truncated to 1 bytes", contents.problems)

    def test_ratio_is_exact(self):
        data = bf.build_at_ratio([bf.firmware_block(0, bytes(range(200)))], ratio=8, extra=1)
        self.assertEqual(len(zlib.decompress(data[6:])), 8 * (len(data) - 6) + 1)


class ChipEncodingTest(unittest.TestCase):
    def test_decode_inverts_encode_per_block(self):
        plain = [bf.firmware_block(0, b"abc" * 20), bf.firmware_block(64, b"xyz" * 7)]
        encoded = bf.encode_for_chip(plain, FINGERPRINT)
        for before, after in zip(plain, encoded):
            self.assertEqual(after.payload[:4], before.payload[:4])
            self.assertEqual(bf.decode_image(after.payload[4:], FINGERPRINT), before.payload[4:])
        # The first byte of every block uses key byte 0 and no previous byte.
        self.assertEqual(encoded[1].payload[4], ord("x") ^ 0x01)

    def test_command_line_encode_and_show(self):
        with tempfile.TemporaryDirectory() as tmp:
            desc = os.path.join(tmp, "description.json")
            with open(desc, "w") as out:
                json.dump({"blocks": [{"kind": "firmware", "address": 16, "image": "00112233"}]}, out)
            plain, chip = os.path.join(tmp, "plain.bird"), os.path.join(tmp, "chip.bird")
            script = os.path.join(ROOT, "sim", "birdfile.py")
            subprocess.run([sys.executable, script, "build", "--description", desc, "-o", plain], check=True)
            subprocess.run([sys.executable, script, "encode", "--fingerprint", "01020304,a0b0c0d0,5,ffffffff",
                            "-i", plain, "-o", chip], check=True)
            with open(chip, "rb") as source:
                block = bf.parse_bird(source.read()).blocks[0]
            self.assertEqual(bf.decode_image(block.payload[4:], FINGERPRINT), bytes.fromhex("00112233"))
            shown = subprocess.run([sys.executable, script, "show", plain], check=True,
                                   capture_output=True, text=True).stdout
            self.assertIn("firmware       flags 0 length 8 address 0x00000010", shown)


if __name__ == "__main__":
    unittest.main()
