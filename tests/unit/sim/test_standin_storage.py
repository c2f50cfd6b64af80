"""Store slots and factory data of the stand-in, over its TCP port."""
import unittest

from tests.unit.sim.wire import StandInCase, be


class StoreSlots(StandInCase):
    def store(self, data):
        return self.ask([4] + list(data), prefix=[4])

    def open(self, op, store, slot):
        reply = self.store([op, store, slot])
        self.assertEqual(reply[:4], bytes([4, op, store, slot]))
        return reply[4]

    def test_capacity_and_size(self):
        self.assertEqual(self.store([1, 0, 3]), bytes([4, 1, 0, 3]) + be(4096, 2))
        self.assertEqual(self.store([2, 0, 3]), bytes([4, 2, 0, 3, 0, 0]))
        self.ctl("set_slot", 0, 3, "0102030405")
        self.assertEqual(self.store([2, 0, 3]), bytes([4, 2, 0, 3, 0, 5]))

    def test_write_then_read_back(self):
        payload = bytes((n * 13) & 0xFF for n in range(100))
        handle = self.open(4, 1, 0)
        for at in range(0, len(payload), 25):
            chunk = payload[at:at + 25]
            self.assertEqual(self.store([7, handle] + list(chunk)), bytes([4, 7, handle, sum(chunk) & 0xFF]))
        self.assertEqual(self.store([8, handle]), bytes([4, 8, handle, 0]))
        self.assertEqual(self.ctl("slot", 1, 0), [payload.hex()])
        handle = self.open(3, 1, 0)
        out = b""
        while len(out) < len(payload):
            reply = self.store([6, handle])
            self.assertEqual(reply[:3], bytes([4, 6, handle]))
            self.assertLessEqual(len(reply), 28)
            out += reply[3:]
        self.assertEqual(out, payload)
        self.store([8, handle])

    def test_opening_for_writing_empties_the_slot(self):
        self.ctl("set_slot", 0, 0, "aabb")
        handle = self.open(4, 0, 0)
        self.store([8, handle])
        self.assertEqual(self.store([2, 0, 0])[4:], b"\0\0")

    def test_errors(self):
        self.assertEqual(self.store([1, 9, 0]), bytes([4, 0x81, 9, 0, 26]))    # no store 9
        self.assertEqual(self.store([3, 0, 12]), bytes([4, 0x83, 0, 12, 26]))  # store 0 has 12 slots
        self.assertEqual(self.store([6, 7]), bytes([4, 0x86, 7, 2]))           # no such handle
        handle = self.open(3, 0, 1)
        self.assertEqual(self.store([7, handle, 1]), bytes([4, 0x87, handle, 7]))  # opened for reading

    def test_slot_capacity_is_enforced(self):
        handle = self.open(4, 0, 2)
        for _ in range(4096 // 25):
            self.store([7, handle] + [1] * 25)
        self.assertEqual(self.store([7, handle] + [1] * 25), bytes([4, 0x87, handle, 14]))


class FactoryData(StandInCase):
    def read(self, selector):
        reply = self.ask([0x5E, selector | 0x40])
        out = reply[2:]
        while len(reply) == 28:
            reply = self.ask([0x5E, selector])
            self.assertEqual(reply[1], selector)
            out += reply[2:]
        return out

    def close(self, count):
        return self.ask([0x5E, 0x20] + list(be(count, 2)))

    def write(self, selector, data):
        chunks = [data[i:i + 26] for i in range(0, len(data), 26)]
        for n, chunk in enumerate(chunks):
            option = selector | (0x50 if n == 0 else 0x10)
            self.assertEqual(self.ask([0x5E, option] + list(chunk)), bytes([0x5E, selector]))
        return self.close(len(data))

    def test_read_of_the_factory_record(self):
        data = self.read(1)
        self.assertEqual(data, bytes(range(64)))
        self.assertEqual(self.close(len(data)), bytes([0x5E, 0]))

    def test_write_then_read_across_full_packets(self):
        for length in (1, 26, 52, 60):
            data = bytes((n + length) & 0xFF for n in range(length))
            self.assertEqual(self.write(5, data), bytes([0x5E, 0]))
            self.assertEqual(self.read(5), data)
            self.close(length)
        self.assertEqual(self.ctl("factory", 5), [data.hex()])

    def test_wrong_count_is_refused_and_nothing_written(self):
        self.ask([0x5E, 0x53, 1, 2, 3])
        self.assertEqual(self.close(2), bytes([0x5E, 0x80, 14]))
        self.assertEqual(self.ctl("factory", 3), ["-"])


if __name__ == "__main__":
    unittest.main()
