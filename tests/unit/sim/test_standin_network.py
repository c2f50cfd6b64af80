"""The stand-in as a router: modules behind it on its I2C network, the I2C
entity, and stream subscriptions and samples."""
import struct
import unittest

from tests.unit.sim.wire import StandInCase, be


class Router(StandInCase):
    ARGS = ("--serial", "0x40000002", "--behind", "4,0x40000004,5,2.15.1,2001,left",
            "--behind", "8,0x40000008,6")

    def test_info_record_lists_the_modules_behind(self):
        behind = self.standin.info["behind"]
        self.assertEqual([(m["address"], m["serial"], m["model"]) for m in behind],
                         [(4, 0x40000004, 5), (8, 0x40000008, 6)])

    def test_each_module_answers_at_its_own_address(self):
        self.assertEqual(self.ask([3, 0x49, 0x20], address=4), bytes([3, 9, 0]) + be(0x40000004, 4))
        self.assertEqual(self.ask([3, 0x49, 0x20], address=8), bytes([3, 9, 0]) + be(0x40000008, 4))
        self.assertEqual(self.ask([3, 0x48, 0x20], address=4), bytes([3, 8, 0, 5]))
        self.assertEqual(self.ask([3, 0x47, 0x20], address=4)[3:], be(0x2F020F01, 4))
        self.assertEqual(self.ask([0x49, 0xFF], address=4), bytes([0x49, 0xFF]) + be(2001, 4))
        self.assertEqual(self.ask([3, 0x60, 0x20], address=4), bytes([3, 32, 0]) + b"left\x00")

    def test_modules_behind_name_the_router(self):
        self.assertEqual(self.ask([3, 0x42, 0x20], address=4), bytes([3, 2, 0, 2]))
        self.assertEqual(self.ask([3, 0x41, 0x20], address=4), bytes([3, 1, 0, 4]))
        self.assertEqual(self.ask([3, 0x42, 0x20], address=2), bytes([3, 2, 0, 2]))

    def test_nobody_answers_at_an_empty_address(self):
        self.assertTrue(self.silent([3, 0x49, 0x20], address=6))

    def test_i2c_write_is_acknowledged_only_where_a_module_sits(self):
        def write(address):
            return self.ask([8, 0, address, 2, 3, 0, 0], prefix=[8, 0, address])
        self.assertEqual(write(4), bytes([8, 0, 4, 0, 0]))
        self.assertEqual(write(8), bytes([8, 0, 8, 0, 0]))
        for address in (2, 6, 10, 252):
            reply = write(address)
            self.assertEqual(len(reply), 5)
            self.assertTrue(reply[4] & 0x80, "address %d" % address)
        self.assertEqual(self.ctl("i2c_writes"), ["4:0000", "8:0000"])

    def test_probe_scan_finds_exactly_the_modules_behind(self):
        found = []
        for address in range(2, 253, 2):
            if address == 2:
                continue
            self.link.send(2, [8, 0, address, 2, 3, 0, 0])
            reply = self.link.receive(lambda a, d: d[:3] == bytes([8, 0, address]))
            if reply[1][4] == 0:
                found.append(address)
        self.assertEqual(found, [4, 8])

    def test_i2c_read_pullup_and_size_limit(self):
        self.assertEqual(self.ask([8, 0, 5, 3, 3], prefix=[8, 0, 5]), bytes([8, 0, 5, 3, 0, 0, 0, 0]))
        self.assertTrue(self.ask([8, 0, 7, 3, 3], prefix=[8, 0, 7])[4] & 0x80)
        self.assertEqual(self.ask([8, 0, 1, 1], prefix=[8, 0, 1]), bytes([8, 0, 1, 1, 0]))
        self.assertEqual(self.ask([8, 0, 4, 24, 3], prefix=[8, 0, 4])[4], 0x80 | 14)

    def test_control_acts_on_a_module_behind(self):
        self.ctl("at", 4, "set", "serial", "0x99")
        self.assertEqual(self.ask([3, 0x49, 0x20], address=4)[3:], be(0x99, 4))
        self.assertEqual(self.ask([3, 0x49, 0x20], address=2)[3:], be(0x40000002, 4))


class Streams(StandInCase):
    def test_enable_disable_and_status(self):
        key = be(0x02030900, 4)
        self.assertEqual(self.ask([0x5D, 0x41, 0x20]), bytes([0x5D, 1, 0, 0]))
        self.assertEqual(self.ask([0x5D, 0x81, 0x20] + list(key)), bytes([0x5D, 0xC1, 0]) + key)
        self.assertEqual(self.ctl("streams"), ["02030900"])
        self.assertEqual(self.ask([0x5D, 0x41, 0x20]), bytes([0x5D, 1, 0, 1]))
        self.assertEqual(self.ask([0x5D, 0x82, 0x20] + list(be(0x0203FF00, 4))), bytes([0x5D, 0xC2, 0]) + be(0x0203FF00, 4))
        self.assertEqual(self.ctl("streams"), [])
        self.assertEqual(self.ctl("stream_requests"), ["enable:02030900", "disable:0203FF00"])

    def sample(self, *words):
        self.ctl("sample", *words)
        packet = self.link.receive(lambda a, d: len(d) > 2 and d[2] & 0x40, 1)
        self.assertIsNotNone(packet)
        return packet[1]

    def test_samples_of_every_kind(self):
        ts = 0x0000000100000002
        sizes = {1: 14, 2: 15, 3: 17, 5: 15, 6: 16, 7: 18}
        widths = {1: 1, 2: 2, 3: 4, 5: 1, 6: 2, 7: 4}
        for kind, size in sizes.items():
            value = 0x81234567 & ((1 << 8 * widths[kind]) - 1)
            data = self.sample(kind, 3, 27, 0, value, 9, ts)
            self.assertEqual(len(data), size, "kind %d" % kind)
            self.assertEqual(data[:4], bytes([3, 27, 0x40, kind]))
            at = 5 if kind >= 5 else 4
            if kind >= 5:
                self.assertEqual(data[4], 9)
            self.assertEqual(struct.unpack(">II", data[at:at + 8]), (1, 2))
            self.assertEqual(int.from_bytes(data[at + 8:-1], "big"), value)
            self.assertEqual(data[-1], 0)

    def test_enabled_streams_sample_by_themselves(self):
        self.ask([0x5D, 0x81, 0x20] + list(be(0x02031B00, 4)))   # temperature
        self.ask([0x5D, 0x81, 0x20] + list(be(0x0203FF00, 4)))   # a wildcard: no samples of its own
        self.ctl("set", "temperature", 21000000)
        self.ctl("stream_every", 20)
        seen = [self.link.receive(lambda a, d: len(d) > 2 and d[2] & 0x40, 1)[1] for _ in range(3)]
        self.ctl("stream_every", 0)
        for data in seen:
            self.assertEqual(data[:4], bytes([3, 27, 0x40, 3]))
            self.assertEqual(data[12:16], be(21000000, 4))

    def test_byte_block_stream_packets(self):
        payload = bytes(range(50))
        self.ctl("sample", 4, 3, 32, 0, payload.hex())
        packets = [self.link.receive(lambda a, d: d[:3] == bytes([3, 32, 0x40]), 1)[1] for _ in range(3)]
        self.assertEqual([p[-1] for p in packets], [0x80, 0x81, 0x02])
        self.assertEqual(b"".join(p[3:-1] for p in packets), payload)


if __name__ == "__main__":
    unittest.main()
