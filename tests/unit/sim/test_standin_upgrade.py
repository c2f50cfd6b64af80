"""The upgrade entity of the stand-in (command 0x5F) over its TCP port: a
whole update with the link dropping after LOAD and REBOOT, the byte-array
data path, and the loader's fault switches."""
import os
import struct
import tempfile
import unittest

from sim import birdfile, firmware
from tests.unit.sim.wire import Link, StandInCase, be, block_set

UP = 0x5F
LOAD_BASE = 0x10000000


def image(length, seed):
    return bytes((n * seed + n // 7) & 0xFF for n in range(length))


class UpgradeCase(StandInCase):
    ARGS = ("--block-size", "64", "--down-ms", "200", "--version", "2.11.4", "--build", "1100")

    def up(self, *data, address=2, prefix=None, timeout=1.0):
        data = bytes([UP]) + bytes(data)
        if prefix is None:
            prefix = data[:2] if data[1] in (0, 1, 2) else bytes([UP, 7])
        return self.link.ask(address, data, prefix, timeout)

    def send_piece(self, payload, address=2):
        for at in range(0, len(payload), 26):
            chunk = payload[at:at + 26]
            self.assertEqual(self.up(1, *chunk, address=address), bytes([UP, 1, len(chunk)]))
        return self.up(4, address=address)

    def prepare(self, flags, address, at=2):
        return self.up(3, flags, *be(address, 4), address=at)

    def reconnect(self):
        """A new link once the stand-in has dropped the old one and come back."""
        self.assertTrue(self.link.closed(), "the link drops")
        self.link = self.standin.link(attempts=100)

    def reboot(self):
        self.link.send(2, [UP, 6])
        self.reconnect()

    def load_loader(self, loader_image, address=LOAD_BASE, at=2):
        self.assertEqual(self.up(0, address=at), bytes([UP, 0]) + be(LOAD_BASE, 4))
        self.assertEqual(self.prepare(0, address, at), bytes([UP, 7, 0, 0, 64]))
        self.assertEqual(self.send_piece(loader_image, at), bytes([UP, 7, 0]) + be(sum(loader_image), 4))
        self.assertEqual(self.up(2, address=at), bytes([UP, 2]))

    def write_firmware(self, address, fw, at=2):
        self.assertEqual(self.prepare(1, address, at)[:3], bytes([UP, 7, 0]))
        for offset in range(0, len(fw), 64):
            piece = fw[offset:offset + 64]
            self.assertEqual(self.send_piece(piece, at)[3:], be(sum(piece), 4))
            self.assertEqual(self.up(5, *be(len(piece), 2), address=at), bytes([UP, 7, 0]))

    def dump(self, command):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "image.bin")
            base, length = self.ctl(command, path)
            with open(path, "rb") as handle:
                data = handle.read()
        self.assertEqual(len(data), int(length))
        return int(base, 16), data


class WholeUpdate(UpgradeCase):
    def test_loader_then_firmware_then_new_identity(self):
        loader_image = image(150, 3)
        fw = image(200, 5) + firmware.identity_record(2345, "2.15.3", 0x40F5849A, "TVHub") + image(30, 11)
        self.load_loader(loader_image)
        self.reconnect()
        self.assertEqual(self.ctl("loader_state")[0], "loader")
        self.write_firmware(0x8000, fw)
        self.reboot()
        self.assertEqual(self.link.ask(2, [3, 0x47, 0x20], [3, 7])[3:], be(0x2F020F03, 4))
        self.assertEqual(self.link.ask(2, [0x49, 0xFF], [0x49, 0xFF])[2:], be(2345, 4))
        self.assertEqual(self.ctl("loader_state")[:2], ["firmware", "reboots=1"])
        self.assertEqual(self.dump("flash_dump"), (0x8000, fw))
        self.assertEqual(self.dump("loader_dump"), (LOAD_BASE, loader_image))
        self.assertEqual(self.ctl("events"), ["load@2", "back@2", "reboot@2", "back@2"])
        self.assertEqual(self.ctl("prepared"), ["0:0x10000000", "1:0x00008000"])
        self.assertEqual(self.ctl("writes"), ["0x%08X:64" % (0x8000 + n) for n in range(0, 256, 64)] + ["0x00008100:38"])

    def test_the_listener_comes_back_on_the_same_port(self):
        port = self.standin.port
        self.load_loader(image(10, 1))
        self.assertTrue(self.link.closed())
        link = Link(port, attempts=100)
        self.addCleanup(link.close)
        self.assertEqual(link.ask(2, [3, 0x49, 0x20], [3, 9])[3:], be(0x40F5849A, 4))
        self.assertGreaterEqual(int(self.ctl("connections")[0]), 2)

    def test_package_built_with_the_identity_embedded(self):
        desc = {"embed_info": True, "blocks": [
            {"kind": "info", "build": 7777, "version": "3.1.4", "serial": "40F5849A", "model": "TVHub"},
            {"kind": "loader", "address": LOAD_BASE, "image": "00112233"},
            {"kind": "firmware", "address": 0, "flags": 1, "image": {"length": 300, "pattern": "firmware"}}]}
        contents = birdfile.parse_bird(birdfile.build_from_description(desc))
        blocks = {b.type: b for b in contents.blocks}
        self.load_loader(blocks[0].payload[4:])
        self.reconnect()
        self.write_firmware(0, blocks[1].payload[4:])
        self.reboot()
        self.assertEqual(self.link.ask(2, [0x49, 0xFF], [0x49, 0xFF])[2:], be(7777, 4))
        self.assertEqual(self.ctl("identity")[3:5], ["version=0x2F030104", "version_text=3.1.4"])

    def test_loader_started_in_place_when_told(self):
        self.ctl("load_drops", 0)
        self.load_loader(image(8, 1))
        self.assertFalse(self.link.closed(0.4))
        self.write_firmware(0, firmware.identity_record(31, "2.11.5"))
        self.reboot()
        self.assertEqual(self.link.ask(2, [0x49, 0xFF], [0x49, 0xFF])[2:], be(31, 4))

    def test_firmware_without_identity_keeps_the_old_one_unless_told(self):
        self.load_loader(image(8, 1))
        self.reconnect()
        self.ctl("next_firmware", 1500, "2.12.0")
        self.write_firmware(0, image(64, 9))
        self.reboot()
        self.assertEqual(self.ctl("identity")[3:6], ["version=0x2C000000", "version_text=2.12.0", "build=1500"])


class LiveLoader(UpgradeCase):
    ARGS = UpgradeCase.ARGS + ("--config", '{"loader_running": true}')

    def test_firmware_goes_to_flash_without_a_load(self):
        self.assertEqual(self.ctl("loader_state")[0], "loader")
        fw = image(100, 7)
        self.write_firmware(0x4000, fw)
        self.assertEqual(self.dump("flash_dump"), (0x4000, fw))
        self.assertEqual(self.ctl("loader_blocks"), [])
        self.reboot()
        self.assertEqual(self.ctl("loader_state")[:2], ["firmware", "reboots=1"])

    def test_control_switches_the_loader_on(self):
        self.ctl("loader_running", 0)
        self.assertEqual(self.ctl("loader_state")[0], "firmware")
        self.ctl("loader_running", 1)
        self.assertEqual(self.ctl("loader_state")[0], "loader")


class Exchanges(UpgradeCase):
    def test_sum_covers_the_bytes_since_the_last_sum(self):
        self.prepare(0, LOAD_BASE)
        self.send_piece(b"\x01\x02")
        self.assertEqual(self.send_piece(b"\x05"), bytes([UP, 7, 0]) + be(5, 4))
        self.assertEqual(self.up(4), bytes([UP, 7, 0, 0, 0, 0, 0]))

    def test_prepare_validates_flags_and_address(self):
        self.assertEqual(self.prepare(8, LOAD_BASE)[2], 1)
        self.assertEqual(self.prepare(0, LOAD_BASE + 2)[2], 1)
        self.load_loader(b"\0" * 4)
        self.reconnect()
        self.assertEqual(self.prepare(1, 0x10000000)[2], 1)  # past the end of flash
        self.ctl("flash_range", 0, 0x8000)
        self.assertEqual(self.prepare(1, 0x8000)[2], 1)
        self.assertEqual(self.prepare(1, 0x1000)[2], 0)
        self.ctl("block_size", 512)
        self.assertEqual(self.prepare(1, 0x1000), bytes([UP, 7, 0, 2, 0]))

    def test_write_of_a_count_other_than_received_is_refused(self):
        self.prepare(1, 0)
        self.send_piece(b"abc")
        self.assertEqual(self.up(5, 0, 4), bytes([UP, 7, 1]))
        self.assertEqual(self.ctl("flash"), [])

    def test_a_repeated_block_overwrites_itself(self):
        self.load_loader(b"\0" * 4)
        self.reconnect()
        self.write_firmware(0x100, image(64, 1))
        self.write_firmware(0x100, image(64, 2))
        self.assertEqual(self.dump("flash_dump"), (0x100, image(64, 2)))

    def test_byte_array_data_path(self):
        self.ctl("uei_data", 1)
        self.load_loader(b"\0" * 4)
        self.reconnect()
        self.prepare(1, 0)
        piece = image(60, 3)
        packets = block_set(UP, 10, piece)
        for data in packets[:-1]:
            self.link.send(2, data)
        self.assertEqual(self.link.ask(2, packets[-1], [UP, 0xCA]), bytes([UP, 0xCA, 0]))
        self.assertEqual(self.up(4)[3:], be(sum(piece), 4))
        self.assertEqual(self.up(5, 0, 60), bytes([UP, 7, 0]))
        self.assertEqual(self.dump("flash_dump"), (0, piece))

    def test_byte_array_path_refused_when_switched_off(self):
        (data,) = block_set(UP, 10, b"abc")
        self.assertEqual(self.link.ask(2, data, [UP, 0xCA]), bytes([UP, 0xCA, 0x80, 29]))

    def test_pooled_requests_in_one_write(self):
        self.prepare(0, LOAD_BASE)
        wire = b"".join(bytes([2, 4, UP, 1, n, n]) for n in range(1, 30))
        self.link.send_raw(wire)
        for n in range(1, 30):
            self.assertEqual(self.link.receive(lambda a, d: d[:2] == bytes([UP, 1]))[1], bytes([UP, 1, 2]))
        self.assertEqual(self.up(4)[3:], be(sum(2 * n for n in range(1, 30)), 4))


class LoaderFaults(UpgradeCase):
    def test_wrong_count_then_resend(self):
        self.prepare(0, LOAD_BASE)
        self.ctl("loader_fault", "wrong_count", 1)
        self.assertEqual(self.up(1, 7, 7, 7), bytes([UP, 1, 2]))
        self.assertEqual(self.up(1, 7, 7, 7), bytes([UP, 1, 3]))
        self.assertEqual(self.up(4)[3:], be(21, 4))

    def test_wrong_sum(self):
        self.prepare(0, LOAD_BASE)
        self.ctl("loader_fault", "wrong_sum")
        self.assertEqual(self.send_piece(b"\x10")[3:], be(0x11, 4))

    def test_refused_prepare_and_write(self):
        self.ctl("loader_fault", "refuse_prepare")
        self.assertEqual(self.prepare(1, 0), bytes([UP, 7, 1, 0, 0]))
        self.assertEqual(self.prepare(1, 0)[2], 0)
        self.send_piece(b"xy")
        self.ctl("loader_fault", "refuse_write")
        self.assertEqual(self.up(5, 0, 2), bytes([UP, 7, 1]))

    def test_silent_operation(self):
        self.ctl("loader_fault", "silent", "init")
        self.assertTrue(self.silent([UP, 0]))
        self.ctl("loader_fault", "reply", "init")
        self.assertEqual(self.up(0)[:2], bytes([UP, 0]))

    def test_block_size_zero_and_short_init(self):
        self.ctl("loader_fault", "block_size_zero", 1)
        self.assertEqual(self.prepare(0, LOAD_BASE), bytes([UP, 7, 0, 0, 0]))
        self.ctl("loader_fault", "short_init", 1)
        self.assertEqual(self.up(0), bytes([UP, 0, 0x10]))

    def test_no_return_after_load(self):
        self.ctl("loader_fault", "no_return_after_load", 1)
        self.load_loader(b"\0" * 4)
        self.assertTrue(self.link.closed())
        with self.assertRaises(OSError):
            Link(self.standin.port, attempts=10).close()
        self.ctl("come_back")
        self.reconnect()
        self.assertEqual(self.ctl("loader_state")[0], "loader")

    def test_reboot_that_keeps_the_link(self):
        self.load_loader(b"\0" * 4)
        self.reconnect()
        self.ctl("loader_fault", "reboot_keeps_link", 1)
        self.write_firmware(0, firmware.identity_record(99, "2.11.9"))
        self.link.send(2, [UP, 6])
        self.assertFalse(self.link.closed(0.6))
        self.assertEqual(self.link.ask(2, [0x49, 0xFF], [0x49, 0xFF])[2:], be(99, 4))


class BehindTheRouter(UpgradeCase):
    ARGS = UpgradeCase.ARGS + ("--behind", "4,0x40F50004,6")

    def test_update_of_a_module_behind_keeps_the_routers_link(self):
        self.ctl("at", 4, "block_size", 64)
        self.load_loader(image(20, 1), at=4)
        self.assertFalse(self.link.closed(0.4), "the loader starts in place")
        self.write_firmware(0, firmware.identity_record(4444, "2.15.9"), at=4)
        self.link.send(4, [UP, 6])
        self.assertIsNone(self.link.ask(4, [0x49, 0xFF], [0x49, 0xFF], timeout=0.1), "away while rebooting")
        self.assertEqual(self.link.ask(2, [0x49, 0xFF], [0x49, 0xFF])[2:], be(1100, 4))
        for _ in range(50):
            reply = self.link.ask(4, [0x49, 0xFF], [0x49, 0xFF], timeout=0.1)
            if reply:
                break
        self.assertEqual(reply[2:], be(4444, 4))
        self.assertEqual(self.ctl("events"), ["load@4", "reboot@4", "back@4"])
        self.assertEqual(self.ctl("at", 4, "loader_state")[:2], ["firmware", "reboots=1"])
        self.assertEqual(self.ctl("loader_state")[:2], ["firmware", "reboots=0"])


if __name__ == "__main__":
    unittest.main()
