"""Updater over emulated USB: the bridge of sim/usb plugs module stand-ins in
as USB devices of a umockdev testbed, and Updater runs under umockdev's
preload library, so libusb sees them. The module leaves the bus when its
loader starts and again when it reboots, and comes back each time."""
import os
import shutil
import unittest

from sim.usb.bridge import UsbBridge
from tests.e2e.fleet_support import HUB, HUB_SN, FleetTestCase, package_blocks, write_package
from tests.e2e.harness import run_updater

BRIDGE = os.path.join(os.environ.get("TV_BUILD_DIR", ""), "sim", "usb", "usb_bridge")
OTHER = 0x40F50011


@unittest.skipUnless(os.path.exists(BRIDGE) and shutil.which("umockdev-wrapper"), "no USB bridge built")
class UsbTestCase(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet({"serial": "0x%08X" % HUB, "model": 0x11, "device_name": "USB hub"},
                         {"serial": "0x%08X" % OTHER, "model": 0x05, "version": "2.15.0"})
        self.bridge = UsbBridge(BRIDGE)
        for info in self.infos:
            self.bridge.add("%08X" % info["serial"], info["model"], "127.0.0.1", info["tcp_port"])

    def tearDown(self):
        self.bridge.close()
        super().tearDown()

    def usb_cli(self, *args, **kwargs):
        return run_updater("-i", self.app_dir, *args, env=self.bridge.environment(), **kwargs)


class UsbDiscovery(UsbTestCase):
    def test_lists_the_emulated_modules(self):
        self.control(HUB, "heartbeat_every", 50)
        result = self.usb_cli("-D")
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Discovered Devices: (USB)", result.out)
        self.assertRegex(result.out, r"    40F5849A  02       02      IOAnalog\s+2\.11\.4 \(      1100\)\s+USB hub")
        self.assertRegex(result.out, r"    40F50011  02       02      HubPro8\s+2\.15\.0")
        # The link synchronised and answered the module's heartbeats over USB.
        self.assertGreater(int(self.control(HUB, "syncs")[0]), 0)
        self.assertTrue(self.control(HUB, "answers"), "no heartbeat answered")


class UsbUpdate(UsbTestCase):
    def test_update_through_both_reenumerations(self):
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1900, "2.19.0")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(HUB, package_blocks(package))
        identity = self.identity(HUB)
        self.assertEqual((identity["build"], identity["version_text"]), ("1900", "2.19.0"))
        self.assertEqual([e.split("@")[0] for e in self.control(HUB, "events")][:2], ["load", "back"])
        # The other module was left alone.
        self.assertEqual(self.control(OTHER, "prepared"), [])

    def test_module_that_never_returns_is_looked_for_boundedly(self):
        self.control(HUB, "loader_fault", "no_return_after_load", 1)
        package = write_package(os.path.join(self.scratch, "gone.bird"), HUB, 1901, "2.19.1")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, "-X", "0x10000", timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        # 15 attempts, the USB context refreshed before every third.
        self.assertEqual(result.err.count("Failed enumeration after 3 tries, refreshing libusb context."), 5)
        self.assertEqual(self.control(HUB, "prepared")[1:], [])


if __name__ == "__main__":
    unittest.main()
