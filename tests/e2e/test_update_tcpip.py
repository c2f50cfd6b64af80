"""-U with the built Updater against module stand-ins on the test network:
the loader and firmware reach the module byte for byte, the module comes back
running the new build, and the history is written only after success."""
import json
import os
import struct
import unittest

from sim import birdfile
from tests.e2e.fleet_support import (HUB, HUB_SN, FleetTestCase, package_blocks, standin, write_package)


class UpdateTestCase(FleetTestCase):
    def history(self, serial_text=HUB_SN):
        path = os.path.join(self.store, serial_text, ".settings")
        if not os.path.exists(path):
            return {}
        with open(path) as source:
            return dict(line.rstrip("\n").split("=", 1) for line in source if "=" in line)

    def store_package(self, build, version="2.12.0", **keys):
        device = os.path.join(self.store, HUB_SN)
        os.makedirs(device, exist_ok=True)
        return write_package(os.path.join(device, "%d.bird" % build), HUB, build, version, **keys)

    def assertUpdated(self, result, package, build, version):
        self.assertEqual(result.status, 0, repr(result))
        # The module was seen back running the build before the time was given.
        self.assertRegex(result.out, r"Verified: device %s runs build %d\nUpdate time: \d+\.\d{4} sec"
                         % (HUB_SN, build))
        self.assertFlashHolds(HUB, package_blocks(package))
        loader_path = os.path.join(self.scratch, "loader.bin")
        base, _ = self.control(HUB, "loader_dump", loader_path)
        with open(loader_path, "rb") as source:
            loader = source.read()
        for block in package_blocks(package, birdfile.BLOCK_LOADER):
            start = block.address - int(base, 0)
            self.assertEqual(loader[start:start + len(block.payload) - 4], block.payload[4:])
        identity = self.identity(HUB)
        self.assertEqual((identity["build"], identity["version_text"]), (str(build), version))
        self.assertIn("LAST_TRANSFER_DATE", self.history())


class DirectUpdate(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(standin(HUB))

    def test_store_package_over_tcpip(self):
        package = self.store_package(1300, "2.13.0")
        with open(os.path.join(self.store, HUB_SN, ".settings"), "w") as out:
            out.write("LATEST_DOWNLOAD=1300.bird\n")
        url = self.start_server({"devices": {HUB_SN: {"current": 1300, "builds": {"1300": "2.13.0"}}}})
        result = self.run_cli("-U", "-d", HUB_SN, "-u", url)
        self.assertUpdated(result, package, 1300, "2.13.0")
        self.assertEqual(self.history()["LATEST_TRANSFER"], "1300.bird")
        # The server was asked for the current build only; nothing was fetched.
        self.assertEqual(self.ops(), ["qu"])

    def test_uei_byte_arrays_and_pooled_packets(self):
        self.control(HUB, "uei_data", 1)
        self.control(HUB, "pooled", 1)
        package = self.store_package(1301, "2.13.1", firmware_size=5000)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1301", "-m", "1", "-X", "0x400")
        self.assertUpdated(result, package, 1301, "2.13.1")
        self.assertIn("val_UPGRADE_DATA_UEI", result.err)

    def test_given_file_asks_no_server(self):
        package = write_package(os.path.join(self.scratch, "given.bird"), HUB, 1400, "2.14.0")
        result = self.run_cli("-U", "-d", HUB_SN, "-f", package, "-u", "http://127.0.0.1:9/cgi/u")
        self.assertUpdated(result, package, 1400, "2.14.0")
        self.assertEqual(self.history()["LATEST_TRANSFER"], package)

    def test_generic_package_gets_the_serial_number(self):
        package = self.store_package(1500, "2.15.0", generic=True)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1500")
        self.assertEqual(result.status, 0, repr(result))
        base, flash = self.flash_image(HUB)
        self.assertEqual(flash[0x4100 - base:0x4104 - base], struct.pack("<I", HUB))
        self.assertEqual(flash[0x4200 - base:0x4210 - base:2], HUB_SN.encode())
        # Everything else went as the package holds it.
        image = package_blocks(package)[0].payload[4:]
        self.assertEqual(flash[0x4000 - base:0x4100 - base], image[:0x100])

    def test_get_and_update_installs_the_build_just_fetched(self):
        url = self.start_server({"devices": {HUB_SN: {"current": 1234, "builds": {"1234": "2.12.3"},
                                                      "model": "IOAnalog", "firmware_size": 3000}}})
        result = self.run_cli("-G", "-U", "-d", HUB_SN, "-u", url)
        self.assertEqual(result.status, 0, repr(result))
        stored = os.path.join(self.store, HUB_SN, "1234.bird")
        self.assertFlashHolds(HUB, package_blocks(stored))
        self.assertEqual(self.identity(HUB)["build"], "1234")
        self.assertEqual(self.history()["LATEST_TRANSFER"], "1234.bird")
        self.assertEqual(self.history()["LATEST_DOWNLOAD"], "1234.bird")


class ModuleWaits(UpdateTestCase):
    """Each wait of the update ends on its event, and is bounded when the
    event never comes."""

    def setUp(self):
        super().setUp()
        self.start_fleet(standin(HUB))

    def test_loader_on_a_new_connection_and_reboot_seen_at_once(self):
        package = self.store_package(1310, "2.13.10")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1310", "-X", "0x401")
        self.assertUpdated(result, package, 1310, "2.13.10")
        # The first, the loader's, and the rebooted module's.
        self.assertEqual(self.control(HUB, "connections"), ["3"])
        self.assertIn("The module left its connection after LOAD.", result.err)
        # The module closed its connection to reboot: one round of the wait.
        self.assertEqual(result.err.count("Waiting for link to drop."), 1)
        # The next discovery finds it running the new build.
        listing = self.run_cli("-D", "-t", "TCPIP")
        self.assertRegex(listing.out, r"(?s)%s.*1310" % HUB_SN)

    def test_loader_that_keeps_the_connection(self):
        self.control(HUB, "load_drops", 0)
        package = self.store_package(1311, "2.13.11")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1311", "-X", "0x1")
        self.assertUpdated(result, package, 1311, "2.13.11")
        # The first, kept by the loader, and the rebooted module's.
        self.assertEqual(self.control(HUB, "connections"), ["2"])
        self.assertNotIn("The module left its connection after LOAD.", result.err)

    def test_loader_that_resets_the_connection_and_accepts_at_once(self):
        # The socket stream makes a new connection by itself: that is the drop.
        self.control(HUB, "loader_fault", "load_resets", 1)
        package = self.store_package(1314, "2.13.14")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1314", "-X", "0x1")
        self.assertUpdated(result, package, 1314, "2.13.14")
        self.assertIn("The module left its connection after LOAD.", result.err)

    def test_module_back_at_once_from_a_reboot_in_place(self):
        self.control(HUB, "loader_fault", "reboot_keeps_link", 1)
        package = self.store_package(1315, "2.13.15")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1315")
        self.assertUpdated(result, package, 1315, "2.13.15")

    def test_module_slow_to_return_is_waited_for(self):
        self.control(HUB, "reboot_down_ms", 3000)
        package = self.store_package(1316, "2.13.16")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1316")
        self.assertUpdated(result, package, 1316, "2.13.16")

    def test_module_back_with_its_old_build_fails_the_update(self):
        self.control(HUB, "loader_fault", "reboot_keeps_build", 1)
        self.store_package(1317, "2.13.17")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1317")
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Device %s runs build 1100, not the build 1317 that was written" % HUB_SN, result.err)
        self.assertNotIn("LATEST_TRANSFER", self.history())
        self.assertNotIn("Update time", result.out)

    def test_module_that_never_returns_from_its_reboot_fails_boundedly(self):
        self.control(HUB, "loader_fault", "no_return_after_reboot", 1)
        self.store_package(1318, "2.13.18")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1318", timeout=120)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Device %s did not come back within 15 s of its reboot" % HUB_SN, result.err)
        self.assertNotIn("LATEST_TRANSFER", self.history())
        self.assertNotIn("Update time", result.out)

    def test_package_without_a_build_waits_for_the_return_only(self):
        package = write_package(os.path.join(self.scratch, "plain.bird"), HUB, 1319, "2.13.19", info=False)
        result = self.run_cli("-U", "-d", HUB_SN, "-f", package, "-OVERRIDE")
        self.assertEqual(result.status, 0, repr(result))
        self.assertRegex(result.out, r"Verified: device %s is back\nUpdate time: " % HUB_SN)

    def test_reboot_that_keeps_the_connection_is_waited_for_boundedly(self):
        self.control(HUB, "loader_fault", "reboot_keeps_link", 1)
        package = self.store_package(1312, "2.13.12")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1312", "-X", "0x400")
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(HUB, package_blocks(package))
        self.assertEqual(result.err.count("Waiting for link to drop."), 20)

    def test_loader_that_never_answers_fails_boundedly(self):
        self.control(HUB, "loader_fault", "no_return_after_load", 1)
        self.store_package(1313, "2.13.13")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1313", "-X", "0x10000", timeout=120)
        self.assertEqual(result.status, 1, repr(result))
        self.assertNotIn("LATEST_TRANSFER", self.history())
        # Then the module is looked for on USB, the context refreshed before
        # every third of the 15 attempts.
        self.assertEqual(result.err.count("Failed enumeration after 3 tries, refreshing libusb context."), 5)


class UpdateRefusals(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(standin(HUB))

    def assertUntouched(self, result):
        self.assertEqual(result.status, 1, repr(result))
        self.assertNotIn("LATEST_TRANSFER", self.history())
        self.assertNotIn("Update time", result.out)

    def test_newer_build_on_server_but_nothing_local(self):
        url = self.start_server({"devices": {HUB_SN: {"current": 1600, "builds": {"1600": "2.16.0"}}}})
        result = self.run_cli("-U", "-d", HUB_SN, "-u", url)
        self.assertUntouched(result)
        self.assertIn("New firmware is available.  Updater will proceed if valid firmware is found locally.",
                      result.out)
        self.assertIn("Could not find valid build for this device.", result.out + result.err)
        self.assertEqual(self.control(HUB, "prepared"), [])

    def test_package_of_another_model_fails_validation(self):
        self.store_package(1700, model="HubPro8")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1700")
        self.assertUntouched(result)
        self.assertIn("Connected device model and Bird file model do not match [IOAnalog]", result.out + result.err)
        self.assertIn("Birdfile failed validation", result.out + result.err)

    def test_package_of_another_device_fails_without_its_own_message(self):
        device = os.path.join(self.store, HUB_SN)
        os.makedirs(device)
        write_package(os.path.join(device, "1701.bird"), 0x12345678, 1701, "2.17.1")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1701")
        self.assertUntouched(result)
        self.assertIn("Birdfile failed validation", result.out + result.err)
        self.assertNotIn("do not match", result.out + result.err)

    def test_override_skips_validation(self):
        package = self.store_package(1702, "2.17.2", model="HubPro8")
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1702", "-OVERRIDE")
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(HUB, package_blocks(package))

    def test_refused_prepare_is_not_retried(self):
        self.store_package(1800)
        self.control(HUB, "loader_fault", "refuse_prepare", 1000)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1800")
        self.assertUntouched(result)

    def test_wrong_sums_fail_after_five_attempts(self):
        self.store_package(1801)
        self.control(HUB, "loader_fault", "wrong_sum", 100)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1801")
        self.assertUntouched(result)

    def test_a_block_that_fails_once_is_sent_again(self):
        package = self.store_package(1802, "2.18.2")
        self.control(HUB, "loader_fault", "refuse_write", 1)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1802")
        self.assertIn("  Retry 1", result.out)
        self.assertUpdated(result, package, 1802, "2.18.2")

    def test_module_that_miscounts_for_ever_stalls_nothing(self):
        self.store_package(1803)
        self.control(HUB, "loader_fault", "wrong_count", 100000)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1803", timeout=300)
        self.assertUntouched(result)

    def test_block_size_zero_is_refused(self):
        self.store_package(1804)
        self.control(HUB, "loader_fault", "block_size_zero", 1)
        result = self.run_cli("-U", "-d", HUB_SN, "-b", "1804")
        self.assertUntouched(result)

    def test_absent_module(self):
        package = write_package(os.path.join(self.scratch, "other.bird"), 0x0BADF00D, 1805, "2.18.5")
        result = self.run_cli("-U", "-d", "0BADF00D", "-f", package)
        self.assertEqual(result.status, 1, repr(result))
        self.assertIn("Failed to connect to module [0BADF00D]", result.out + result.err)


if __name__ == "__main__":
    unittest.main()
