"""-D -t TCPIP and -D -r with the built Updater against a fleet on the test
network: every module once, with what it runs, and the modules behind a
router found by probing its I2C network."""
import unittest

from tests.e2e.fleet_support import HUB, FleetTestCase, standin

ROUTER = 0x40F50002


class DiscoverDirect(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(standin(HUB, version="2.11.4", build=1100, device_name="Bench hub"),
                         standin(0x40F50003, model=5, version="2.10.3", build=900, device_name="Old one"))

    def test_lists_each_module_with_its_firmware(self):
        result = self.run_cli("-D", "-t", "TCPIP")
        self.assertEqual(result.status, 0, repr(result))
        lines = result.out.splitlines()
        self.assertIn("Discovered Devices: (TCPIP)", lines)
        hub = [line for line in lines if line.startswith("    40F5849A")]
        old = [line for line in lines if line.startswith("    40F50003")]
        self.assertEqual(len(hub), 1, result.out)
        self.assertEqual(len(old), 1, result.out)
        self.assertRegex(hub[0], r"^    40F5849A  02       02      IOAnalog\s+2\.11\.4 \(      1100\)\s+"
                                 r"\[198\.18\.0\.1\]\s+Bench hub$")
        # Firmware older than 2.10.4 is not asked for its name.
        self.assertRegex(old[0], r"HubPro8\s+2\.10\.3 \(       900\)\s+\[198\.18\.0\.1\]\s*$")

    def test_a_module_that_does_not_answer_is_still_listed(self):
        self.control(HUB, "fault", "silent", "3", 1000)
        result = self.run_cli("-D", "-t", "TCPIP", timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        # A TCP/IP row has no error form: the version it could not read is 0.0.0.
        self.assertRegex(result.out, r"    40F5849A  02       02      IOAnalog\s+0\.0\.0 \(      1100\)")
        self.assertRegex(result.out, r"    40F50003  02       02      HubPro8\s+2\.10\.3")


class DiscoverBehindRouter(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(standin(ROUTER, model=5, version="2.15.0", behind=[
            {"address": 4, "serial": "0x40F50004", "model": 6, "build": 1300},
            {"address": 8, "serial": "0x40F50008", "model": 0x12, "version": "2.10.4", "device_name": "Relay"}]))

    def test_lists_the_modules_on_the_network(self):
        result = self.run_cli("-D", "-r", "%08X" % ROUTER)
        self.assertEqual(result.status, 0, repr(result))
        rows = [line for line in result.out.splitlines() if line.startswith("    40F5")]
        self.assertEqual(len(rows), 2, result.out)
        self.assertRegex(rows[0], r"^    40F50004  04       02      HubRack16\s+2\.11\.4 \(      1300\)")
        # The network scan reads no device names.
        self.assertRegex(rows[1], r"^    40F50008  08       02      IODigital\s+2\.10\.4 \(      1100\)\s+\[198\.18\.0\.1\]\s*$")
        # Every even address but the router's own was probed once, 254 never.
        probed = sorted(int(entry.split(":")[0], 0) for entry in self.control(ROUTER, "i2c_writes"))
        self.assertEqual(probed, [4, 8])
        self.assertEqual(self.control(ROUTER, "route_to_me"), ["0"])

    def test_probes_every_even_address_but_its_own(self):
        result = self.run_cli("-D", "-r", "%08X" % ROUTER, "-X", "0x1")
        addresses = [int(line.split("0x")[1], 16) for line in result.err.splitlines()
                     if line.startswith("Searching Address 0x")]
        self.assertEqual(addresses, list(range(4, 253, 2)))

    def test_unknown_router_gives_an_empty_list_without_a_message(self):
        result = self.run_cli("-D", "-r", "0BADF00D")
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("    No devices found.", result.out)
        self.assertEqual(result.err, "")


if __name__ == "__main__":
    unittest.main()
