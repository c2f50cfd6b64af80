"""Updater over emulated USB: the bridge of sim/usb plugs module stand-ins in
as USB devices of a umockdev testbed, and Updater runs under umockdev's
preload library, so libusb sees them. The module leaves the bus when its
loader starts and again when it reboots, and comes back each time."""
import os
import shutil
import subprocess
import time
import unittest

from sim.usb.bridge import UsbBridge
from tests.e2e.fleet_support import HUB, HUB_SN, FleetTestCase, package_blocks, write_package
from tests.e2e.harness import UPDATER, json_document, run_updater

BRIDGE = os.path.join(os.environ.get("TV_BUILD_DIR", ""), "sim", "usb", "usb_bridge")
OTHER = 0x40F50011


@unittest.skipUnless(os.path.exists(BRIDGE) and shutil.which("umockdev-wrapper"), "no USB bridge built")
class UsbTestCase(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet({"serial": "0x%08X" % HUB, "model": 0x11, "device_name": "USB hub"},
                         {"serial": "0x%08X" % OTHER, "model": 0x05, "version": "2.15.0"})
        self.bridge = UsbBridge(BRIDGE)
        self.nodes = {}
        for info in self.infos:
            self.nodes[info["serial"]] = self.bridge.add("%08X" % info["serial"], info["model"], "127.0.0.1",
                                                         info["tcp_port"])

    def tearDown(self):
        self.bridge.close()
        super().tearDown()

    def usb_cli(self, *args, **kwargs):
        return run_updater("-i", self.app_dir, *args, env=self.bridge.environment(), **kwargs)


class UsbDiscovery(UsbTestCase):
    def test_lists_the_emulated_modules(self):
        # Heartbeats every 2 ms: several fall within the listing's link, however quick.
        self.control(HUB, "heartbeat_every", 2)
        result = self.usb_cli("-D")
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Discovered Devices: (USB)", result.out)
        self.assertRegex(result.out, r"    40F5849A  02       02      IOAnalog\s+2\.11\.4 \(      1100\)\s+USB hub")
        self.assertRegex(result.out, r"    40F50011  02       02      HubPro8\s+2\.15\.0")
        # The link synchronised and answered the module's heartbeats over USB.
        self.assertGreater(int(self.control(HUB, "syncs")[0]), 0)
        self.assertTrue(self.control(HUB, "answers"), "no heartbeat answered")
        # The same listing for scripts.
        result = self.usb_cli("--json", "-D")
        devices = json_document(self, result)["devices"]
        rows = [(d["serial"], d["transport"], d["address"], d["model"], d["build"], d["name"])
                for d in devices if d["serial"] == HUB_SN]
        self.assertEqual(rows, [(HUB_SN, "USB", None, "IOAnalog", 1100, "USB hub")])


class UsbPermission(UsbTestCase):
    """Updater as the user nobody, who may open the other module's node but
    not the hub's."""

    def setUp(self):
        super().setUp()
        self.bridge.deny(self.nodes[HUB])
        os.chmod(os.path.join(self.bridge.root, self.nodes[OTHER].lstrip("/")), 0o666)
        os.chmod(self.scratch, 0o755)
        self.home = os.path.join(self.scratch, "nobody")
        os.mkdir(self.home)
        os.chmod(self.home, 0o777)
        self.denied = ("Permission denied opening Tolvarine module %s on USB bus 001 address %s: install the udev "
                       "rule 70-updater.rules that comes with Updater and plug the device in again, or run as "
                       "root (see man Updater)" % (HUB_SN, self.nodes[HUB][-3:]))

    def nobody_cli(self, *args):
        return run_updater("-i", self.home, *args, env=self.bridge.environment(), user="nobody")

    def test_discovery_names_the_module_it_may_not_open_with_the_remedy(self):
        result = self.nobody_cli("-D")
        self.assertEqual(result.status, 0, repr(result))
        # The listing holds the module that could be opened, and only it.
        self.assertIn("Discovered Devices: (USB)", result.out)
        self.assertRegex(result.out, r"    40F50011  02       02      HubPro8", repr(result))
        self.assertNotIn(HUB_SN, result.out)
        self.assertEqual(result.err.splitlines(), [self.denied], repr(result))

    def test_a_connect_names_the_module_it_may_not_open(self):
        package = write_package(os.path.join(self.home, "usb.bird"), HUB, 1900, "2.19.0")
        os.chmod(package, 0o644)
        result = self.nobody_cli("-U", "-d", HUB_SN, "-f", package)
        self.assertEqual(result.status, 1, repr(result))
        self.assertEqual(result.err.splitlines(), [self.denied, "Failed to connect to module [%s]" % HUB_SN],
                         repr(result))
        self.assertEqual(self.control(HUB, "prepared"), [])


class UsbUpdate(UsbTestCase):
    def test_update_through_both_reenumerations(self):
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1900, "2.19.0")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(HUB, package_blocks(package))
        identity = self.identity(HUB)
        self.assertEqual((identity["build"], identity["version_text"]), ("1900", "2.19.0"))
        self.assertEqual([e.split("@")[0] for e in self.control(HUB, "events")], ["load", "back", "reboot", "back"])
        self.assertIn("Verified: device %s runs build 1900\nUpdate time: " % HUB_SN, result.out)
        # The other module was left alone, not even opened to read its serial number.
        self.assertEqual(self.control(OTHER, "prepared"), [])
        self.assertEqual(self.bridge.opens("%08X" % OTHER), 0)
        # Waiting for a reply costs no requests: poll() on the node sleeps until
        # a transfer completes (a submit and two reaps for each, about).
        self.assertLess(self.bridge.requests(HUB_SN), 8 * len(self.bridge.outs(HUB_SN)))

    def test_update_when_arrivals_raise_no_hotplug_event(self):
        # libusb's list goes stale: the module is seen in sysfs instead, and
        # found without waiting for the refresh before every third attempt.
        self.bridge.hotplug(False)
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1902, "2.19.2")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, "-X", "0x10000", timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Verified: device %s runs build 1902\nUpdate time: " % HUB_SN, result.out)
        self.assertNotIn("not found in USB attempt", result.err)
        self.assertEqual([e.split("@")[0] for e in self.control(HUB, "events")], ["load", "back", "reboot", "back"])

    def test_update_when_a_returning_module_shows_in_sysfs_before_it_can_be_listed(self):
        # Its vendor is in sysfs a while before an enumeration lists it: the
        # context is refreshed again until one does.
        self.bridge.hotplug(False)
        self.bridge.incomplete(60)
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1903, "2.19.3")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, "-X", "0x10000", timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Verified: device %s runs build 1903\nUpdate time: " % HUB_SN, result.out)
        self.assertNotIn("not found in USB attempt", result.err)
        self.assertEqual([e.split("@")[0] for e in self.control(HUB, "events")], ["load", "back", "reboot", "back"])

    def test_update_while_another_module_arrives_heard_and_its_own_return_unheard(self):
        # As for one of several programs on a bus, when another took the
        # events: another module's arrival is heard, ours only shows in
        # sysfs. The watch goes on for ours and finds it without a refresh.
        self.bridge.hotplug(False, HUB_SN)
        self.control(HUB, "loader_fault", "no_return_after_load", 1)
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1904, "2.19.4")
        updating = subprocess.Popen([UPDATER, "-i", self.app_dir, "-U", "-d", HUB_SN, "-f", package, "-X", "0x10000"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, env=self.bridge.environment())
        try:
            while not (any(event.startswith("load@") for event in self.control(HUB, "events"))
                       and self.control(HUB, "listening") == ["0"] and not self.bridge.plugged(HUB_SN)):
                self.assertIsNone(updating.poll(), "the update ended before its LOAD")
                time.sleep(0.02)
            self.bridge.replug("%08X" % OTHER)
            self.control(HUB, "come_back")
            out, err = updating.communicate(timeout=300)
        finally:
            if updating.poll() is None:
                updating.kill()
                updating.communicate()
        self.assertEqual(updating.returncode, 0, out + err)
        self.assertIn("Verified: device %s runs build 1904\nUpdate time: " % HUB_SN, out)
        self.assertNotIn("not found in USB attempt", err)

    def test_module_that_never_returns_is_looked_for_boundedly(self):
        self.control(HUB, "loader_fault", "no_return_after_load", 1)
        package = write_package(os.path.join(self.scratch, "gone.bird"), HUB, 1901, "2.19.1")
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, "-X", "0x10000", timeout=300)
        self.assertEqual(result.status, 1, repr(result))
        # 15 attempts, the USB context refreshed before every third.
        self.assertEqual(result.err.count("Failed enumeration after 3 tries, refreshing libusb context."), 5)
        self.assertEqual(result.err.splitlines()[-1], "Device %s did not come back after starting its loader" % HUB_SN)
        self.assertEqual(self.control(HUB, "prepared")[1:], [])



class UsbTransferErrors(UsbTestCase):
    """Failed and stalled bulk transfers in the middle of a firmware transfer:
    up to four in a row are ridden out without the link noticing (no
    resynchronisation, no piece sent again, the flash exact); the fifth in a
    row fails the update in bounded time, with no history recorded."""

    def update(self, package, fault=None):
        serial = "%08X" % HUB
        # Updater ends as soon as the rebooting module has left: wait until
        # it is back on the bus before the next update.
        self.identity(HUB)
        deadline = time.monotonic() + 5
        while not self.bridge.plugged(serial) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.control(HUB, "clear")
        self.bridge.outs(serial)
        if fault is not None:
            fault(serial)
        result = self.usb_cli("-U", "-d", HUB_SN, "-f", package, timeout=120)
        packets = self.control(HUB, "packets")
        pieces = sum(1 for p in packets if p[4:8] == "5f01")
        # After the link to the loader is up (its route-control packet), from
        # the first firmware PREPARE to the last WRITE the link stays in step:
        # no synchronisation request in between.
        ops = [p[4:8] for p in packets]
        start = max((i for i, p in enumerate(packets) if p.startswith("af01")), default=0)
        first = ops.index("5f03", start) if "5f03" in ops[start:] else len(ops)
        last = len(ops) - ops[::-1].index("5f05") if "5f05" in ops else 0
        resyncs = packets[first:last].count("ad00")
        return result, pieces, resyncs, len(self.bridge.outs(serial))

    def history(self):
        path = os.path.join(self.app_dir, "updater", HUB_SN, ".settings")
        with open(path) as source:
            return dict(line.rstrip("\n").split("=", 1) for line in source if "=" in line)

    def test_errors_in_a_row_mid_transfer(self):
        package = write_package(os.path.join(self.scratch, "usb.bird"), HUB, 1900, "2.19.0")
        clean, pieces, resyncs, outs = self.update(package)
        self.assertEqual((clean.status, resyncs), (0, 0), repr(clean))
        middle = outs // 2
        ridden_out = [("fail", n, d) for d in ("in", "out") for n in (1, 3, 4)] + [("stall", 1, "in"),
                                                                                  ("stall", 1, "out")]
        for kind, count, direction in ridden_out:
            with self.subTest(kind=kind, count=count, direction=direction):
                if kind == "fail":
                    fault = lambda s: self.bridge.fail(s, count, direction, after=middle)
                else:
                    fault = lambda s: self.bridge.stall(s, direction, after=middle)
                result, got_pieces, got_resyncs, _ = self.update(package, fault)
                self.assertEqual(result.status, 0, repr(result))
                self.assertEqual((got_pieces, got_resyncs), (pieces, 0))
                self.assertFlashHolds(HUB, package_blocks(package))
        os.remove(os.path.join(self.app_dir, "updater", HUB_SN, ".settings"))
        for direction in ("in", "out"):
            with self.subTest(fail=5, direction=direction):
                result, _, _, _ = self.update(package, lambda s: self.bridge.fail(s, 5, direction, after=middle))
                self.assertEqual(result.status, 1, repr(result))
                self.assertNotIn("LATEST_TRANSFER", self.history())
                # The module's loader is left waiting; a reset brings it back.
                self.control(HUB, "reboot")


if __name__ == "__main__":
    unittest.main()
