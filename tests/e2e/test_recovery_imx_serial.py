"""The i.MX side of -N over a serial line: the live loader from the store goes
into the chip's RAM through the serial download protocol and is started; the
tool then looks for the live loader as a USB module, refreshing the USB
context every third round, and gives up when it never appears."""
import json
import os
import random
import unittest

from sim import birdfile, imx_sdp
from sim.serial_standin import Control
from tests.e2e.harness import UpdaterTestCase
from tests.e2e.recovery_support import store_live_loader


class ImxLiveLoaderOverSerial(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.chip, info = imx_sdp.start()
        self.pty = info["pty"]
        self.control = Control(info["control_port"])
        rng = random.Random(3)
        self.loader = [(0x20000000, rng.randbytes(3000)), (0x20002000, rng.randbytes(100))]

    def tearDown(self):
        self.control.close()
        self.chip.terminate()
        self.chip.wait(10)
        super().tearDown()

    def store_loader(self, entry=None):
        """The device 0xDEADDEAD's latest download holds the live loader."""
        store_live_loader(self.store, self.loader, entry)

    def state(self):
        return json.loads(self.control("state"))

    def test_loader_written_and_started_then_no_usb_module(self):
        self.store_loader()
        result = self.run_cli("-N", "-s", self.pty, "-X", "0x10001", timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Got no response from chip", result.out + result.err)
        for address, image in self.loader:
            self.assertEqual(bytes.fromhex(self.control("ram", address, len(image))), image)
        self.assertEqual(self.state()["jumped"], 0x20000400)
        # Rounds 2, 5, 8, 11 and 14 (from 0) start with a fresh USB context.
        self.assertEqual(result.err.count("Failed enumeration after 3 tries, refreshing libusb context."), 5)
        self.assertIn("Could not connect to device.", result.err)

    def test_loader_start_block_names_the_entry(self):
        self.store_loader(entry=0x20001234)
        self.run_cli("-N", "-s", self.pty, timeout=300)
        self.assertEqual(self.state()["jumped"], 0x20001234)

    def test_bird_file_without_serial_is_refused_before_any_device_io(self):
        path = os.path.join(self.scratch, "loader.bird")
        with open(path, "wb") as out:
            out.write(birdfile.build_bird([birdfile.loader_block(0x20000000, b"\1" * 64)], level=1))
        result = self.run_cli("-N", "-s", self.pty, "-f", path, timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Add serial number or remove the bird filename to use a default recovery image.",
                      result.out + result.err)
        self.assertEqual(self.state()["writes"], [])


if __name__ == "__main__":
    unittest.main()
