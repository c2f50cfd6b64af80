"""A rack updated from a script: one Updater process per module, all started
at once on one host, over TCP/IP and over the emulated USB bus. Every module
ends with exactly its own image, a listing beside them names each module
once, and a second process for a module already being updated leaves it
alone."""
import fcntl
import os
import shutil
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from sim.usb.bridge import UsbBridge
from tests.e2e.fleet_support import HUB_MODEL, FleetTestCase, package_blocks, standin, write_package
from tests.e2e.harness import UPDATER, VERSION_LINE, Result

RACK = [0x40F50100 + i for i in range(8)]
BRIDGE = os.path.join(os.environ.get("TV_BUILD_DIR", ""), "sim", "usb", "usb_bridge")


def busy_text(serial):
    return "Device %08X is being updated by another process" % serial


class RackTestCase(FleetTestCase):
    def packages(self, serials, build=1500):
        return {serial: write_package(os.path.join(self.scratch, "%08X.bird" % serial), serial, build, "2.15.0",
                                      seed=serial) for serial in serials}

    def all_at_once(self, commands, env=None):
        """Results of the commands (Updater arguments), all started together."""
        with ThreadPoolExecutor(max_workers=len(commands)) as pool:
            running = [pool.submit(self.run_cli, *args, env=env, timeout=300) for args in commands]
            return [job.result() for job in running]

    def assertUpdatedExactly(self, serial, package, result):
        self.assertEqual(result.status, 0, "%08X: %r" % (serial, result))
        self.assertFlashHolds(serial, package_blocks(package))
        self.assertEqual(self.identity(serial)["build"], "1500")


class ParallelOverTcpip(RackTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(*[standin(serial) for serial in RACK])

    def test_eight_updates_at_once_each_find_and_update_their_module_and_a_listing_names_each_once(self):
        packages = self.packages(RACK)
        commands = [("-U", "-d", "%08X" % serial, "-f", packages[serial]) for serial in RACK]
        *updates, listing = self.all_at_once(commands + [("-D", "-t", "TCPIP")])
        for serial, result in zip(RACK, updates):
            self.assertUpdatedExactly(serial, packages[serial], result)
        self.assertEqual(listing.status, 0, repr(listing))
        rows = [line.split()[0] for line in listing.out.splitlines() if line.startswith("    40F501")]
        self.assertEqual(len(rows), len(set(rows)), listing.out)
        # A listing alone, after the batch, names every module exactly once.
        listing = self.run_cli("-D", "-t", "TCPIP")
        rows = sorted(line.split()[0] for line in listing.out.splitlines() if line.startswith("    40F501"))
        self.assertEqual(rows, ["%08X" % serial for serial in RACK], listing.out)

    def test_a_second_process_for_a_module_being_updated_fails_at_once_and_never_touches_it(self):
        hub = RACK[0]
        first, second = self.packages([hub]), {hub: write_package(os.path.join(self.scratch, "other.bird"), hub,
                                                                  1600, "2.16.0", seed=99)}
        # The first update holds the module while its loader is away.
        self.control(hub, "loader_fault", "no_return_after_load", 1)
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "detect_leaks=1"))
        updating = subprocess.Popen([UPDATER, "-i", self.app_dir, "-U", "-d", "%08X" % hub, "-f", first[hub]],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=env)
        try:
            # LOAD came, and the link dropped after it (only then does come_back count).
            while not (any(event.startswith("load@") for event in self.control(hub, "events"))
                       and self.control(hub, "listening") == ["0"]):
                self.assertIsNone(updating.poll(), "the first update ended before its LOAD")
                time.sleep(0.02)
            connections = self.control(hub, "connections")
            packets = len(self.control(hub, "packets"))
            result = self.run_cli("-U", "-d", "%08X" % hub, "-f", second[hub])
            self.assertEqual((result.status, result.out, result.err), (1, VERSION_LINE, busy_text(hub) + "\n"), repr(result))
            self.assertEqual(self.control(hub, "connections"), connections)
            self.assertEqual(len(self.control(hub, "packets")), packets)
            self.control(hub, "come_back")
            out, err = updating.communicate(timeout=300)
        finally:
            if updating.poll() is None:
                updating.kill()
                updating.communicate()
        first_result = Result(subprocess.CompletedProcess(updating.args, updating.returncode, out, err))
        self.assertUpdatedExactly(hub, first[hub], first_result)

    def test_a_lock_left_by_a_dead_process_blocks_nobody_and_a_held_one_blocks_at_once(self):
        hub = RACK[1]
        packages = self.packages([hub])
        path = "/run/lock/tolvarine-module-%08X.lock" % hub
        with open(path, "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            result = self.run_cli("-U", "-d", "%08X" % hub, "-f", packages[hub])
            self.assertEqual((result.status, result.err), (1, busy_text(hub) + "\n"), repr(result))
            self.assertEqual(self.control(hub, "connections"), ["0"])
        # Killed while it held the module: the kernel let go.
        holder = subprocess.Popen(["python3", "-c", "import fcntl, sys, time; f = open(sys.argv[1]); "
                                   "fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); time.sleep(600)", path],
                                  stdout=subprocess.PIPE)
        holder.stdout.readline()
        holder.kill()
        holder.wait()
        holder.stdout.close()
        self.assertUpdatedExactly(hub, packages[hub], self.run_cli("-U", "-d", "%08X" % hub, "-f", packages[hub]))

    def test_a_recovery_holds_the_module_or_without_a_serial_number_its_port(self):
        port = os.path.join(self.scratch, "ttyNONE")
        held_files = ["/run/lock/tolvarine-module-%08X.lock" % RACK[3],
                      "/run/lock/tolvarine-port-%s.lock" % port.replace("/", "_")]
        expected = [busy_text(RACK[3]), "Device on %s is being updated by another process" % port]
        for path, args, text in zip(held_files, [("-d", "%08X" % RACK[3]), ()], expected):
            with open(path, "a") as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                result = self.run_cli("-U", "-t", "RECOVER", "-s", port, *args)
            os.remove(path)
            self.assertEqual((result.status, result.err), (1, text + "\n"), repr(result))


@unittest.skipUnless(os.path.exists(BRIDGE) and shutil.which("umockdev-wrapper"), "no USB bridge built")
class ParallelOverUsb(RackTestCase):
    def setUp(self):
        super().setUp()
        self.start_fleet(*[{"serial": "0x%08X" % serial, "model": HUB_MODEL} for serial in RACK[:4]])
        self.bridge = UsbBridge(BRIDGE)
        for info in self.infos:
            self.bridge.add("%08X" % info["serial"], info["model"], "127.0.0.1", info["tcp_port"])

    def tearDown(self):
        self.bridge.close()
        super().tearDown()

    def test_four_updates_at_once_on_one_bus_each_update_their_module(self):
        packages = self.packages(RACK[:4])
        commands = [("-U", "-d", "%08X" % serial, "-f", packages[serial]) for serial in RACK[:4]]
        for serial, result in zip(RACK, self.all_at_once(commands, env=self.bridge.environment())):
            self.assertUpdatedExactly(serial, packages[serial], result)


if __name__ == "__main__":
    unittest.main()
