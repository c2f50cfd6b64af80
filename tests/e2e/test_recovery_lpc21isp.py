"""The LPC stand-in against an ISP client nobody here wrote: Debian's
lpc21isp must detect it as an LPC1768 and program an image into it."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from sim import lpc_isp
from sim.serial_standin import Control


def image_with_valid_vectors(length, seed=7):
    """An image whose vector table already carries the checksum word that
    LPC17xx tools write at offset 0x1C, so a client leaves it unchanged."""
    import random
    rng = random.Random(seed)
    words = [0x10008000, 0x000000C1] + [rng.getrandbits(32) for _ in range(5)]
    words.append((-sum(words)) & 0xFFFFFFFF)
    return struct.pack("<8I", *words) + bytes(rng.getrandbits(8) for _ in range(length - 32))


@unittest.skipUnless(shutil.which("lpc21isp"), "lpc21isp is not installed")
class Lpc21ispAgainstStandIn(unittest.TestCase):
    def setUp(self):
        self.process, info = lpc_isp.start()
        self.pty = info["pty"]
        self.control = Control(info["control_port"])
        self.scratch = tempfile.mkdtemp(prefix="lpc21isp-")

    def tearDown(self):
        self.control.close()
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def lpc21isp(self, *args):
        return subprocess.run(["lpc21isp", *args], capture_output=True, timeout=120, stdin=subprocess.DEVNULL)

    def test_detects_an_lpc1768(self):
        done = self.lpc21isp("-detectonly", "-bin", "/dev/null", self.pty, "115200", "14746")
        out = done.stdout.decode("latin-1") + done.stderr.decode("latin-1")
        self.assertIn("LPC1768", out)
        self.assertIn("0x26013F37", out)

    def test_programs_an_image_that_the_flash_then_holds(self):
        image = image_with_valid_vectors(5000)
        path = os.path.join(self.scratch, "image.bin")
        with open(path, "wb") as handle:
            handle.write(image)
        done = self.lpc21isp("-bin", path, self.pty, "115200", "14746")
        self.assertEqual(done.returncode, 0, done.stdout.decode("latin-1"))
        self.assertEqual(bytes.fromhex(self.control("flash", 0, len(image))), image)
        # The client copies whole 1 KiB blocks; past the last one, sector 1 stays erased.
        self.assertEqual(bytes.fromhex(self.control("flash", 0x1400, 64)), b"\xff" * 64)

    def test_refused_sync_gives_no_detection(self):
        self.control("refuse_sync", 1)
        done = self.lpc21isp("-detectonly", "-try3", "-bin", "/dev/null", self.pty, "115200", "14746")
        out = done.stdout.decode("latin-1") + done.stderr.decode("latin-1")
        self.assertNotIn("LPC1768", out)
        self.assertNotEqual(done.returncode, 0)


if __name__ == "__main__":
    unittest.main()
