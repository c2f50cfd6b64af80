"""The i.MX RT recovery end to end over emulated USB. The chip sits in its
ROM's serial download mode as a HID device (1FC9:0130) of the bridge's
umockdev testbed; the tool writes the live loader into its RAM through
hidraw reports and jumps to it. The test then plays the started live
loader: a module stand-in with serial 0xDEADDEAD, its loader already
running, plugged in as a USB module. From it the tool reads the chip's
identifier (system option 39, subindex 0 to 3) and, when recovering, puts
the firmware that the update server names for that identifier into its
flash."""
import json
import os
import random
import shutil
import subprocess
import time
import unittest

from sim import birdfile, imx_sdp
from sim.serial_standin import Control as ChipControl
from sim.usb.bridge import UsbBridge
from tests.e2e.fleet_support import FleetTestCase, package_blocks, write_package
from tests.e2e.harness import UPDATER, Result, run_updater
from tests.e2e.recovery_support import store_live_loader

BRIDGE = os.path.join(os.environ.get("TV_BUILD_DIR", ""), "sim", "usb", "usb_bridge")
LIVE_SERIAL = 0xDEADDEAD
LIVE_SN = "%08X" % LIVE_SERIAL
LIVE_MODEL = 0x13
DEVICE = 0x40F5A1C3
DEVICE_SN = "%08X" % DEVICE
DEVICE_BUILD = 1300
# The identifier words as the live loader gives them, subindex 0 first; the
# tool shows (and asks the server about) subindex 3 first.
IDENTIFIER = [0x1111AAAA, 0x2222BBBB, 0x3333CCCC, 0x4444DDDD]
SHOWN = " ".join("%08X" % word for word in reversed(IDENTIFIER))
DEFAULT_ENTRY = 0x20000400


@unittest.skipUnless(os.path.exists(BRIDGE) and shutil.which("umockdev-wrapper"), "no USB bridge built")
class ImxRecoveryOverUsb(FleetTestCase):
    catalogue = {
        "devices": {
            # The live loader's own package: its BLOCK_LOADER block is what
            # goes into the chip's RAM.
            LIVE_SN: {"current": 5, "builds": {"5": "1.0.0"}, "model": "TVLoader", "loader_size": 3000},
            DEVICE_SN: {"current": DEVICE_BUILD, "builds": {str(DEVICE_BUILD): "2.13.0"},
                        "model": "HubPro8", "firmware_size": 5000},
        },
        "chips": {SHOWN: {"device": DEVICE_SN, "build": DEVICE_BUILD}},
    }

    def setUp(self):
        super().setUp()
        self.chip, info = imx_sdp.start("--hid-tcp", "0")
        self.chip_control = ChipControl(info["control_port"])
        self.bridge = UsbBridge(BRIDGE)
        self.hid_node = self.bridge.hid("IMXRT1060", 0x1FC9, 0x0130, "127.0.0.1", info["hid_port"])
        rng = random.Random(9)
        self.loader = [(0x20000000, rng.randbytes(2500)), (0x20001000, rng.randbytes(40))]

    def tearDown(self):
        self.bridge.close()
        self.chip_control.close()
        self.chip.terminate()
        self.chip.wait(10)
        super().tearDown()

    # The chip and the live loader -------------------------------------------

    def chip_state(self):
        return json.loads(self.chip_control("state"))

    def store_loader(self, entry=None):
        """The device 0xDEADDEAD's latest download holds the live loader."""
        store_live_loader(self.store, self.loader, entry)

    live_serial = LIVE_SERIAL

    def start_live_loader(self):
        """What the jump starts: the loader, on USB as module 0xDEADDEAD
        (or as the serial number the tool was told to look for)."""
        self.start_fleet({"serial": "0x%08X" % self.live_serial, "model": LIVE_MODEL,
                          "device_name": "Live loader", "loader_running": True,
                          "fingerprint": ["0x%08X" % word for word in IDENTIFIER]})
        self.bridge.add("%08X" % self.live_serial, LIVE_MODEL, "127.0.0.1", self.infos[0]["tcp_port"])

    def recover(self, *args, timeout=240, boot_s=0.0):
        """Runs the tool; once the chip has jumped, the live loader comes up
        (boot_s seconds later). Gives the tool's result and where the chip
        jumped to (None: it did not)."""
        out_path = os.path.join(self.scratch, "updater.out")
        err_path = os.path.join(self.scratch, "updater.err")
        env = self.bridge.environment()
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([UPDATER, "-i", self.app_dir, *args], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=err, env=env, preexec_fn=lambda: os.umask(0o022))
            try:
                deadline = time.monotonic() + timeout
                jumped = None
                while process.poll() is None and time.monotonic() < deadline:
                    jumped = self.chip_state()["jumped"]
                    if jumped is not None:
                        time.sleep(boot_s)
                        self.start_live_loader()
                        break
                    time.sleep(0.05)
                process.wait(max(1, deadline - time.monotonic()))
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()

        class Completed:
            returncode = process.returncode
        with open(out_path, "rb") as out, open(err_path, "rb") as err:
            Completed.stdout, Completed.stderr = out.read(), err.read()
        if os.environ.get("TV_SHOW_RUN"):
            print(repr(Result(Completed)))
        return Result(Completed), jumped

    def assertLoaderInRam(self, loader):
        for address, image in loader:
            self.assertEqual(bytes.fromhex(self.chip_control("ram", address, len(image))), image,
                             "loader block at 0x%08X" % address)

    def assertReportsAsHidrawCarriesThem(self):
        reports = json.loads(self.chip_control("hid_reports"))
        self.assertEqual(set(reports["out"]["1"]), {17}, reports)
        data = reports["out"]["2"]
        self.assertTrue(all(2 <= n <= 1025 for n in data), reports)
        self.assertIn(1025, data)
        self.assertEqual(reports["connections"], 1)

    # Tests --------------------------------------------------------------------

    def test_fingerprint_from_the_live_loader(self):
        self.store_loader()
        result, jumped = self.recover("-N", "-s", "USB", "-X", "0x10010001")
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("[ %s ]" % SHOWN, result.out, repr(result))
        self.assertEqual(result.err.count("Loader Transfer Successful"), len(self.loader))
        self.assertEqual(jumped, DEFAULT_ENTRY)
        self.assertLoaderInRam(self.loader)
        state = self.chip_state()
        self.assertEqual(state["writes"], [[address, len(image)] for address, image in self.loader])
        self.assertEqual(state["commands"][-1], "0B0B %08X 00 0" % DEFAULT_ENTRY)
        self.assertReportsAsHidrawCarriesThem()
        # -N leaves the live loader reset, and wrote nothing to its flash.
        self.assertIn("reset", self.control(LIVE_SERIAL, "calls"))
        self.assertEqual(self.control(LIVE_SERIAL, "prepared"), [])

    def test_live_loader_found_after_fresh_usb_contexts(self):
        self.store_loader()
        result, jumped = self.recover("-N", "-s", "USB", "-X", "0x10000", boot_s=5.5)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("[ %s ]" % SHOWN, result.out)
        self.assertGreaterEqual(result.err.count("Failed enumeration after 3 tries, refreshing libusb context."), 1)

    def test_loader_start_block_names_the_jump(self):
        self.store_loader(entry=0x20001000)
        result, jumped = self.recover("-N", "-s", "USB")
        self.assertEqual(result.status, 0, repr(result))
        self.assertEqual(jumped, 0x20001000)
        self.assertIn("[ %s ]" % SHOWN, result.out)

    def test_recover_puts_the_served_firmware_into_the_live_loaders_flash(self):
        url = self.start_server()
        result, jumped = self.recover("-U", "-t", "RECOVER", "-s", "USB", "-u", url)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Update time:", result.out + result.err)
        self.assertEqual(jumped, DEFAULT_ENTRY)
        # The live loader came from the server (the store had none) and went
        # into the chip's RAM as served.
        served_loader = birdfile.parse_bird(self.package(LIVE_SERIAL, 5))
        loader = [(b.address, b.payload[4:]) for b in served_loader.blocks if b.type == birdfile.BLOCK_LOADER]
        self.assertTrue(loader)
        self.assertLoaderInRam(loader)
        self.assertReportsAsHidrawCarriesThem()
        # The server was asked about the identifier as shown, then for the
        # device's package, which landed in the live loader's flash.
        fix = [r for r in self.requests() if r["op"] == "fix"]
        self.assertEqual(len(fix), 1)
        self.assertEqual(fix[0]["params"]["fp"].split(), SHOWN.split())
        package = os.path.join(self.store, DEVICE_SN, "%d.bird" % DEVICE_BUILD)
        self.assertTrue(os.path.exists(package))
        with open(package, "rb") as source:
            self.assertEqual(source.read(), self.package(DEVICE, DEVICE_BUILD))
        blocks = package_blocks(package)
        self.assertTrue(blocks)
        self.assertFlashHolds(LIVE_SERIAL, blocks)
        self.assertEqual(self.control(LIVE_SERIAL, "flash"),
                         ["0x%08X:%d" % (b.address, len(b.payload) - 4) for b in blocks])
        # REBOOT ended the transfer: the module restarted into the firmware.
        self.assertEqual(self.control(LIVE_SERIAL, "loader_state")[1], "reboots=1")


    def test_recover_from_a_package_file_without_the_server(self):
        # One package carries both the live loader and the firmware; with
        # its serial number given, the live loader is looked for by it.
        self.live_serial = DEVICE
        package = write_package(os.path.join(self.scratch, "offline.bird"), DEVICE, 1400, "2.14.0",
                                firmware_size=3000, seed=4)
        result, jumped = self.recover("-U", "-t", "RECOVER", "-s", "USB", "-d", DEVICE_SN, "-f", package)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Update time:", result.out + result.err)
        self.assertEqual(jumped, DEFAULT_ENTRY)
        self.assertLoaderInRam([(b.address, b.payload[4:]) for b in package_blocks(package, birdfile.BLOCK_LOADER)])
        self.assertFlashHolds(DEVICE, package_blocks(package))
        identity = self.identity(DEVICE)
        self.assertEqual((identity["build"], identity["version_text"]), ("1400", "2.14.0"))

    # The chip or the server failing ----------------------------------------------

    def test_silent_chip_gets_no_loader_and_no_jump(self):
        self.store_loader()
        self.chip_control("silent", 1)
        result, jumped = self.recover("-N", "-s", "USB", "-X", "0x10010001")
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Got no response from chip", result.out + result.err)
        self.assertIn("Error: No ack from iMX device", result.err)
        self.assertIn("Error loading liveloader.", result.err)
        self.assertIsNone(jumped)
        self.assertEqual(json.loads(self.chip_control("hid_reports"))["out"], {"1": [17] * 5})

    def test_chip_the_user_may_not_open_is_named_with_the_remedy(self):
        self.store_loader()
        self.bridge.deny(self.hid_node)
        os.chmod(self.scratch, 0o755)
        for folder, subfolders, files in os.walk(self.app_dir):
            for name in [folder, *(os.path.join(folder, n) for n in subfolders + files)]:
                os.chmod(name, 0o777)
        result = run_updater("-i", self.app_dir, "-N", "-s", "USB", env=self.bridge.environment(), user="nobody")
        self.assertEqual(result.status, 1, repr(result))
        self.assertRegex(result.err, r"(?m)^Permission denied opening i\.MX boot loader IMXRT1060 on USB bus 001 "
                                     r"address \d{3}: install the udev rule 70-updater\.rules that comes with "
                                     r"Updater and plug the device in again, or run as root \(see man Updater\)$")
        self.assertEqual(result.err.count("Permission denied"), 1, repr(result))
        self.assertIn("Got no response from chip", result.err)
        self.assertEqual(json.loads(self.chip_control("hid_reports"))["out"], {})

    def test_chip_reporting_an_error_mid_file_ends_the_loader_transfer(self):
        self.store_loader()
        self.chip_control("talk_during_transfer", 1)
        result, jumped = self.recover("-N", "-s", "USB", "-X", "0x10010001")
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Error loading liveloader.", result.err)
        # Seen mid-file (the next data report is not sent), or at the latest
        # as the file's status word.
        self.assertTrue("Error while transfering loader. Aborting" in result.err
                        or "Loader Transfer Unsuccessful" in result.err, result.err)
        self.assertIsNone(jumped)
        self.assertEqual(self.chip_state()["writes"], [])

    def test_identifier_unknown_to_the_server_is_not_recovered(self):
        catalogue = dict(self.catalogue, chips={})
        url = self.start_server(catalogue)
        result, jumped = self.recover("-U", "-t", "RECOVER", "-s", "USB", "-u", url)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Failed to retrieve recovery information from Veltrane server", result.out + result.err)
        self.assertEqual(jumped, DEFAULT_ENTRY)
        self.assertEqual(self.control(LIVE_SERIAL, "prepared"), [])
        self.assertFalse(os.path.exists(os.path.join(self.store, DEVICE_SN)))


if __name__ == "__main__":
    unittest.main()
