"""The simulated resident loader on its own: the exchanges of one update,
checked from the wire formats (not from the C++ client)."""
import struct
import unittest

from sim import loader as L


def data_packets(payload):
    return [bytes([0x5F, 0x01]) + payload[i:i + 26] for i in range(0, len(payload), 26)]


class Update(unittest.TestCase):
    def setUp(self):
        self.loader = L.ResidentLoader(load_base=0x10000000, block_size=64)
        self.drops = []
        self.loader.on_link_drop = self.drops.append

    def ask(self, data):
        return self.loader.handle(bytes(data))

    def send_piece(self, payload):
        for packet in data_packets(payload):
            self.assertEqual(self.ask(packet), [bytes([0x5F, 0x01, len(packet) - 2])])
        (reply,) = self.ask([0x5F, 0x04])
        return reply

    def test_init_answers_the_load_base(self):
        self.assertEqual(self.ask([0x5F, 0x00]), [bytes([0x5F, 0x00, 0x10, 0, 0, 0])])

    def test_loader_then_firmware_into_flash(self):
        loader_image = bytes(range(100))
        (prepared,) = self.ask([0x5F, 0x03, 0x02, 0x20, 0, 0, 0])
        self.assertEqual(prepared, bytes([0x5F, 0x07, 0, 0, 64]))
        self.assertEqual(self.send_piece(loader_image), bytes([0x5F, 0x07, 0]) + struct.pack(">I", sum(loader_image)))
        self.assertEqual(self.ask([0x5F, 0x02]), [bytes([0x5F, 0x02])])
        self.assertEqual(self.drops, [True])
        self.assertEqual(self.loader.loader_image, {0x20000000: bytearray(loader_image)})

        firmware = bytes((i * 7) & 0xFF for i in range(150))
        self.ask([0x5F, 0x03, 0x01, 0, 0, 0x10, 0])
        for at in range(0, len(firmware), 64):
            piece = firmware[at:at + 64]
            self.assertEqual(self.send_piece(piece)[3:], struct.pack(">I", sum(piece)))
            self.assertEqual(self.ask([0x5F, 0x05, 0, len(piece)]), [bytes([0x5F, 0x07, 0])])
        self.assertEqual(self.loader.flash_image(), {0x1000: firmware})
        self.assertEqual(self.ask([0x5F, 0x06]), [])
        self.assertEqual(self.drops, [True, True])

    def test_sum_covers_only_the_bytes_since_the_last_sum(self):
        self.ask([0x5F, 0x03, 0, 0, 0, 0, 0])
        self.send_piece(b"\x01\x02")
        self.assertEqual(self.send_piece(b"\x05"), bytes([0x5F, 0x07, 0, 0, 0, 0, 5]))
        self.assertEqual(self.ask([0x5F, 0x04]), [bytes([0x5F, 0x07, 0, 0, 0, 0, 0])])

    def test_byte_array_piece_acknowledged_once(self):
        self.loader.uei_data = True
        self.loader.running_loader = True
        self.ask([0x5F, 0x03, 0, 0, 0, 0, 0])
        piece = bytes(range(50))
        chunks = [piece[:24], piece[24:48], piece[48:]]
        replies = []
        for n, chunk in enumerate(chunks):
            more = 0x80 if n < len(chunks) - 1 else 0
            replies += self.ask(bytes([0x5F, 0x8A, 0x20]) + chunk + bytes([more | n]))
        self.assertEqual(replies, [bytes([0x5F, 0xCA, 0])])
        self.assertEqual(self.ask([0x5F, 0x04])[0][3:], struct.pack(">I", sum(piece)))
        self.assertEqual(self.ask([0x5F, 0x05, 0, 50]), [bytes([0x5F, 0x07, 0])])

    def test_write_of_another_count_is_refused(self):
        self.loader.running_loader = True
        self.ask([0x5F, 0x03, 0, 0, 0, 0, 0])
        self.send_piece(b"abc")
        self.assertEqual(self.ask([0x5F, 0x05, 0, 4]), [bytes([0x5F, 0x07, 1])])

    def test_fault_switches(self):
        faults = self.loader.faults
        faults.refuse_prepare = 1
        self.assertEqual(self.ask([0x5F, 0x03, 0, 0, 0, 0, 0])[0][2], 1)
        self.assertEqual(self.ask([0x5F, 0x03, 8, 0, 0, 0, 0])[0][2], 1)  # flags above 7
        faults.block_size_zero = True
        self.assertEqual(self.ask([0x5F, 0x03, 0, 0, 0, 0, 0])[0][3:], b"\x00\x00")
        faults.wrong_count = 1
        self.assertEqual(self.ask([0x5F, 0x01, 9, 9]), [bytes([0x5F, 0x01, 1])])
        self.assertEqual(self.ask([0x5F, 0x01, 9, 9]), [bytes([0x5F, 0x01, 2])])
        faults.wrong_sum = 1
        self.assertEqual(self.ask([0x5F, 0x04])[0][3:], struct.pack(">I", 19))
        faults.silent.add(L.OP_INIT)
        self.assertEqual(self.ask([0x5F, 0x00]), [])
        faults.short_init = True
        faults.silent.clear()
        self.assertEqual(len(self.ask([0x5F, 0x00])[0]), 3)


if __name__ == "__main__":
    unittest.main()
