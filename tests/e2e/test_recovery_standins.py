"""The chip stand-ins' device logic on its own, without a pty: the i.MX
device in its HID framing (as it will sit behind an emulated HID device) and
the LPC boot loader's echo and sync rules."""
import struct
import unittest

from sim import imx_sdp, lpc_isp


def command(kind, address=0, fmt=0, count=0):
    return struct.pack(">HIBII", kind, address, fmt, count, 0) + b"\0"


class ImxDeviceInHidReports(unittest.TestCase):
    def setUp(self):
        self.device = imx_sdp.SdpDevice()

    def reports(self, report_id, payload):
        return [imx_sdp.hid_input_report(r) for r in self.device.handle(report_id, payload)]

    def test_error_status_is_seventy_bytes_of_hab_and_ack(self):
        replies = self.reports(1, command(imx_sdp.ERROR_STATUS))
        self.assertEqual([len(r) for r in replies], [5, 65])
        self.assertEqual(replies[0], bytes([3]) + struct.pack("<I", imx_sdp.HAB_OPEN))
        self.assertEqual(replies[1][:5], bytes([4]) + struct.pack("<I", imx_sdp.STATUS_ACK))

    def test_write_file_is_silent_until_the_last_data_report(self):
        self.assertEqual(self.reports(1, command(imx_sdp.WRITE_FILE, 0x20000000, 0x20, 1500)), [])
        self.assertEqual(self.reports(2, b"\x11" * 1024), [])
        done = self.reports(2, b"\x22" * 476)
        self.assertEqual(done[1][:5], bytes([4]) + struct.pack("<I", imx_sdp.STATUS_WRITE_COMPLETE))
        self.assertEqual(self.device.read_memory(0x20000000, 1500), b"\x11" * 1024 + b"\x22" * 476)

    def test_talking_during_a_transfer_and_swallowing_the_rest(self):
        self.device.talk_during_transfer = True
        self.reports(1, command(imx_sdp.WRITE_FILE, 0x20000000, 0x20, 3000))
        self.assertEqual(len(self.reports(2, b"\0" * 1024)), 2)
        self.assertEqual(self.reports(2, b"\0" * 1024), [])
        self.assertEqual(self.device.writes, [])

    def test_jump_then_silence(self):
        self.assertEqual(len(self.reports(1, command(imx_sdp.JUMP_ADDRESS, 0x20000400))), 1)
        self.assertEqual(self.device.jumped, 0x20000400)
        self.assertEqual(self.reports(1, command(imx_sdp.ERROR_STATUS)), [])

    def test_register_read(self):
        self.device.fuses[0x401F4410] = 0xA1B2C3D4
        replies = self.reports(1, command(imx_sdp.READ_REGISTER, 0x401F4410, 0x20, 4))
        self.assertEqual(replies[1][:5], bytes([4]) + struct.pack("<I", 0xA1B2C3D4))


class LpcBootLoaderRules(unittest.TestCase):
    def setUp(self):
        self.chip = lpc_isp.LpcIspChip(fingerprint=(1, 2, 3, 4))

    def sync(self):
        self.assertEqual(self.chip.feed(b"?"), b"Synchronized\r\n")
        self.assertEqual(self.chip.feed(b"Synchronized\r\n"), b"Synchronized\r\nOK\r\n")
        self.assertEqual(self.chip.feed(b"14746\r\n"), b"14746\r\nOK\r\n")

    def test_echo_until_a_0(self):
        self.sync()
        self.assertEqual(self.chip.feed(b"N\r\n"), b"N\r\n0\r\n1\r\n2\r\n3\r\n4\r\n")
        self.assertEqual(self.chip.feed(b"A 0\r\n"), b"A 0\r\n0\r\n")
        self.assertEqual(self.chip.feed(b"J\r\n"), b"0\r\n637615927\r\n")

    def test_nothing_before_sync_but_the_question_mark(self):
        self.assertEqual(self.chip.feed(b"J\r\n"), b"")
        self.chip.refuse_sync = True
        self.assertEqual(self.chip.feed(b"?"), b"")

    def test_erase_needs_unlock_and_prepare(self):
        self.sync()
        self.chip.feed(b"A 0\r\n")
        self.assertEqual(self.chip.feed(b"E 0 1\r\n"), b"15\r\n")
        self.chip.feed(b"U 23130\r\n")
        self.assertEqual(self.chip.feed(b"E 0 1\r\n"), b"9\r\n")
        self.assertEqual(self.chip.feed(b"P 0 30\r\n"), b"7\r\n")

    def test_uuencoding_matches_the_protocol(self):
        self.assertEqual(lpc_isp.uu_encode_line(b""), b"`")
        self.assertEqual(lpc_isp.uu_encode_line(b"\0\0\0"), b"#````")
        self.assertEqual(lpc_isp.uu_decode_line(lpc_isp.uu_encode_line(bytes(range(45)))), bytes(range(45)))
        self.assertEqual(lpc_isp.sector_of(0xFFFF), 15)
        self.assertEqual(lpc_isp.sector_of(0x10000), 16)
        self.assertEqual(lpc_isp.sector_of(0x80000), 30)


if __name__ == "__main__":
    unittest.main()
