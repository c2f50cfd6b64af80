"""-N and -U -t RECOVER with the built Updater against the LPC boot-loader
stand-in on a pseudo-terminal and the update-server stand-in: the chip's
fingerprint names its device and build, and the firmware the server encoded
for that chip ends up decoded in the chip's flash."""
import os
import random
import unittest

from sim import birdfile, lpc_isp
from sim.serial_standin import Control
from tests.e2e.server_support import ServerTestCase

FINGERPRINT = (0x1A2B3C4D, 0x11223344, 0x55667788, 0x99AABBCC)
FP_TEXT = " ".join("%08X" % w for w in FINGERPRINT)
SERIAL = 0x3C5A0F11
SN = "%08X" % SERIAL


def lpc_package(path, images, generic=False, encode=True):
    """Firmware blocks at their flash addresses, closed by the 4-byte block
    that ends an LPC transfer."""
    blocks = [birdfile.info_block(77, "3.1.0", SERIAL, "TVHub4")]
    blocks += [birdfile.firmware_block(address, image) for address, image in images]
    blocks.append(birdfile.firmware_block(0x7FFFC, b"\0\0\0\0"))
    if generic:
        blocks.append(birdfile.serial_offsets_block(0x100, 0x200))
    if encode:
        blocks = birdfile.encode_for_chip(blocks, FINGERPRINT)
    with open(path, "wb") as out:
        out.write(birdfile.build_bird(blocks, level=1))
    return path


class RecoveryTestCase(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.chip, info = lpc_isp.start("--fingerprint", *("0x%08X" % w for w in FINGERPRINT))
        self.pty = info["pty"]
        self.control = Control(info["control_port"])
        rng = random.Random(5)
        self.images = [(0x4000, rng.randbytes(5000)), (0x10000, rng.randbytes(700))]

    def tearDown(self):
        self.control.close()
        self.chip.terminate()
        self.chip.wait(10)
        super().tearDown()

    def flash(self, address, count):
        return bytes.fromhex(self.control("flash", address, count))


class FingerprintCommand(RecoveryTestCase):
    def test_prints_the_chips_identifier_words(self):
        result = self.run_cli("-N", "-s", self.pty)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("[ %s ]" % FP_TEXT, result.out)

    def test_a_port_without_a_chip_gives_no_response(self):
        self.control("silent", 1)
        result = self.run_cli("-N", "-s", self.pty, timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Got no response from chip", result.out + result.err)


class LpcRecovery(RecoveryTestCase):
    def catalogue_with(self, package_path, build=77):
        return {"devices": {SN: {"current": build, "builds": {str(build): "3.1.0"},
                                 "bird_files": {str(build): package_path}}},
                "chips": {FP_TEXT: {"device": SN, "build": build}}}

    def test_server_package_is_decoded_into_the_flash(self):
        package = lpc_package(os.path.join(self.scratch, "77.bird"), self.images)
        url = self.start_server(self.catalogue_with(package))
        result = self.run_cli("-U", "-t", "RECOVER", "-s", self.pty, "-u", url, timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        for address, image in self.images:
            self.assertEqual(self.flash(address, len(image)), image)
        self.assertIn("Transferring firmware block 1 of 2", result.out)
        self.assertIn("Rebooting Device", result.out)
        self.assertIn("Update time:", result.out)
        # The recovered package was fetched into the store under the device.
        self.assertTrue(os.path.exists(os.path.join(self.store, SN, "77.bird")))

    def test_given_file_needs_no_server(self):
        package = lpc_package(os.path.join(self.scratch, "given.bird"), self.images[:1])
        result = self.run_cli("-U", "-t", "RECOVER", "-s", self.pty, "-f", package, timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        address, image = self.images[0]
        self.assertEqual(self.flash(address, len(image)), image)

    def test_generic_package_is_refused_after_the_fingerprint(self):
        package = lpc_package(os.path.join(self.scratch, "generic.bird"), self.images[:1], generic=True)
        result = self.run_cli("-U", "-t", "RECOVER", "-s", self.pty, "-f", package, timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Updater does not support offline recovery", result.out + result.err)
        self.assertEqual(self.flash(0x4000, 16), b"\xff" * 16)

    def test_unknown_fingerprint_fails_without_touching_the_chip(self):
        url = self.start_server({"devices": {}, "chips": {}})
        result = self.run_cli("-U", "-t", "RECOVER", "-s", self.pty, "-u", url, timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Failed to retrieve recovery information", result.out + result.err)
        self.assertEqual(self.flash(0x4000, 16), b"\xff" * 16)

    def test_a_failing_copy_is_a_failed_recovery(self):
        package = lpc_package(os.path.join(self.scratch, "77.bird"), self.images)
        self.control("code", "C", 9)
        result = self.run_cli("-U", "-t", "RECOVER", "-s", self.pty, "-f", package, timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        self.assertNotIn("Rebooting Device", result.out)


if __name__ == "__main__":
    unittest.main()
