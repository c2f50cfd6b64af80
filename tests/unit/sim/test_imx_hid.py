"""The i.MX stand-in's HID reports over TCP, framed as the USB bridge's
emulated hidraw device carries them (2-byte big-endian length, then the
report with its id first)."""
import json
import socket
import struct
import time
import unittest

from sim import imx_sdp
from sim.serial_standin import Control


def command(kind, address=0, fmt=0, count=0):
    return bytes([1]) + struct.pack(">HIBII", kind, address, fmt, count, 0) + b"\0"


class HidReports(unittest.TestCase):
    def setUp(self):
        self.chip, self.info = imx_sdp.start("--hid-tcp", "0")
        self.addCleanup(self.stop)
        self.control = Control(self.info["control_port"])
        self.sock = socket.create_connection(("127.0.0.1", self.info["hid_port"]), timeout=5)
        self.buffer = b""

    def stop(self):
        self.sock.close()
        self.control.close()
        self.chip.terminate()
        self.chip.wait(10)

    def send(self, report):
        self.sock.sendall(struct.pack(">H", len(report)) + report)

    def reports(self, count, timeout=2.0):
        """The next `count` input reports."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count and time.monotonic() < deadline:
            while len(self.buffer) >= 2 and len(self.buffer) >= 2 + struct.unpack(">H", self.buffer[:2])[0]:
                length = struct.unpack(">H", self.buffer[:2])[0]
                out.append(self.buffer[2:2 + length])
                self.buffer = self.buffer[2 + length:]
            if len(out) < count:
                self.sock.settimeout(max(0.01, deadline - time.monotonic()))
                try:
                    self.buffer += self.sock.recv(4096)
                except socket.timeout:
                    break
        return out

    def test_info_names_the_hid_port(self):
        self.assertIsInstance(self.info["hid_port"], int)
        self.assertIn("pty", self.info)

    def test_status_is_report_3_of_5_bytes_then_report_4_of_65(self):
        self.send(command(imx_sdp.ERROR_STATUS))
        hab, status = self.reports(2)
        self.assertEqual(hab, bytes([3]) + struct.pack("<I", imx_sdp.HAB_OPEN))
        self.assertEqual(status, bytes([4]) + struct.pack("<I", imx_sdp.STATUS_ACK) + bytes(60))

    def test_file_in_data_reports_then_completion(self):
        image = bytes(range(256)) * 5
        self.send(command(imx_sdp.WRITE_FILE, 0x20000000, 0x20, len(image)))
        self.send(bytes([2]) + image[:1024])
        self.assertEqual(self.reports(1, timeout=0.3), [])  # silent while the data arrive
        self.send(bytes([2]) + image[1024:])
        hab, status = self.reports(2)
        self.assertEqual(status[:5], bytes([4]) + struct.pack("<I", imx_sdp.STATUS_WRITE_COMPLETE))
        self.assertEqual(bytes.fromhex(self.control("ram", 0x20000000, len(image))), image)
        self.assertEqual(json.loads(self.control("hid_reports"))["out"], {"1": [17], "2": [1025, 257]})

    def test_jump_answers_the_hab_mode_and_then_nothing(self):
        self.send(command(imx_sdp.JUMP_ADDRESS, 0x20000400))
        self.assertEqual(self.reports(1), [bytes([3]) + struct.pack("<I", imx_sdp.HAB_OPEN)])
        self.assertEqual(json.loads(self.control("state"))["jumped"], 0x20000400)
        self.send(command(imx_sdp.ERROR_STATUS))
        self.assertEqual(self.reports(1, timeout=0.3), [])

    def test_reports_split_across_segments_are_joined(self):
        framed = struct.pack(">H", 17) + command(imx_sdp.ERROR_STATUS)
        self.sock.sendall(framed[:5])
        time.sleep(0.05)
        self.sock.sendall(framed[5:])
        self.assertEqual(len(self.reports(2)), 2)


if __name__ == "__main__":
    unittest.main()
