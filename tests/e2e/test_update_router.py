"""-U through a router: the firmware reaches a module on the router's I2C
network at its own module address, found by the network scan when no
address is given; the router itself is left as it was."""
import os
import unittest

from tests.e2e.fleet_support import FleetTestCase, package_blocks, standin, write_package

ROUTER = 0x40F50002
TARGET = 0x40F50006
TARGET_SN = "%08X" % TARGET


class UpdateThroughRouter(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(standin(ROUTER, model=5, behind=[
            {"address": 4, "serial": "0x40F50004", "model": 6},
            {"address": 6, "serial": "0x%08X" % TARGET, "model": 6, "build": 1000}]))
        self.package = write_package(os.path.join(self.scratch, "target.bird"), TARGET, 1111, "2.11.1",
                                     model="HubRack16")

    def assertTargetUpdated(self, result):
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(ROUTER, package_blocks(self.package), at=6)
        identity = self.identity(ROUTER, at=6)
        self.assertEqual((identity["build"], identity["version_text"]), ("1111", "2.11.1"))
        self.assertEqual(self.identity(ROUTER)["build"], "1100")
        self.assertEqual(self.control(ROUTER, "at", 4, "prepared"), [])
        # Its answer through the router after the reboot ended the wait.
        self.assertIn("Verified: device %s runs build 1111\nUpdate time: " % TARGET_SN, result.out)

    def test_network_scan_finds_the_module_address(self):
        result = self.run_cli("-U", "-d", TARGET_SN, "-r", "%08X" % ROUTER, "-f", self.package)
        self.assertTargetUpdated(result)

    def test_module_slow_to_return_behind_the_router_is_waited_for(self):
        self.control(ROUTER, "reboot_down_ms", 2500)
        result = self.run_cli("-U", "-d", TARGET_SN, "-r", "%08X" % ROUTER, "-f", self.package)
        self.assertTargetUpdated(result)

    def test_module_back_with_its_old_build_behind_the_router_fails(self):
        self.control(ROUTER, "at", 6, "loader_fault", "reboot_keeps_build", 1)
        result = self.run_cli("-U", "-d", TARGET_SN, "-r", "%08X" % ROUTER, "-f", self.package)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Device %s runs build 1000, not the build 1111 that was written" % TARGET_SN, result.err)
        self.assertNotIn("Update time", result.out)

    def test_module_that_never_returns_behind_the_router_fails_boundedly(self):
        self.control(ROUTER, "at", 6, "loader_fault", "no_return_after_reboot", 1)
        result = self.run_cli("-U", "-d", TARGET_SN, "-r", "%08X" % ROUTER, "-f", self.package, timeout=120)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Device %s did not come back within 15 s of its reboot" % TARGET_SN, result.err)

    def test_serial_not_on_the_network_stops_before_any_transfer(self):
        result = self.run_cli("-U", "-d", "0BADF00D", "-r", "%08X" % ROUTER, "-f", self.package)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Module address required for indirect firmware update, could not find serial number "
                      "[0x0BADF00D] on network", result.out + result.err)
        for address in (4, 6):
            self.assertEqual(self.control(ROUTER, "at", address, "prepared"), [])

    def test_absent_router(self):
        result = self.run_cli("-U", "-d", TARGET_SN, "-r", "0BADF00D", "-f", self.package)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Unable to find modules on Network", result.out + result.err)


if __name__ == "__main__":
    unittest.main()
