"""Single system calls on the store made to fail (tests/faults/store_faults.c,
preloaded into Updater) during -G, -U, -L and -B, and -G killed at each of
them: a status of 0 only when everything was recorded, an error line naming
the file and the system's reason otherwise, never a crash, and a store whose
packages are whole or absent, whose history names only whole packages, and
where nothing a killed process left stays after the next write."""
import errno
import os
import shutil
import unittest

from sim import birdfile
from tests.e2e.fleet_support import HUB, HUB_SN, standin, write_package
from tests.e2e.harness import ROOT, VERSION_LINE
from tests.e2e.server_support import SN, ServerTestCase
from tests.e2e.test_update_tcpip import UpdateTestCase

BUILD_DIR = os.environ.get("TV_BUILD_DIR", os.path.join(ROOT, "build", "asan"))
SHIM = os.path.join(BUILD_DIR, "tests", "faults", "store_faults.so")

# The errno each kind of call fails with: the failures a full disk, a failing
# disk or a directory without permission give.
ERRNOS = {"open": errno.EACCES, "read": errno.EIO, "write": errno.ENOSPC, "fsync": errno.EIO,
          "close": errno.EIO, "rename": errno.ENOSPC, "mkdir": errno.ENOSPC, "opendir": errno.EACCES,
          "readdir": errno.EIO}

EARLIER_SETTINGS = b"CREATED_TIME=Mon Jan  5 10:00:00 2026\nLATEST_DOWNLOAD=1200.bird\n"


def temporaries(top):
    return [os.path.join(base, name) for base, _, files in os.walk(top) for name in files
            if name.startswith(".~tmp.")]


class StoreFaults:
    """Runs the Updater with the fault library preloaded, aimed at the store."""

    def faulted(self, *args, call=None, at=0, action=None, counts=None):
        env = {"LD_PRELOAD": SHIM, "TV_FAULT_UNDER": self.store,
               # The library comes before the sanitizer's runtime in the list.
               "ASAN_OPTIONS": "detect_leaks=1:verify_asan_link_order=0"}
        if call is not None:
            env.update(TV_FAULT_CALL=call, TV_FAULT_AT=str(at), TV_FAULT_ERRNO=str(ERRNOS[call]))
        if action is not None:
            env["TV_FAULT_ACTION"] = action
        if counts is not None:
            env["TV_FAULT_COUNTS"] = counts
        return self.run_cli(*args, env=env)

    def fault_points(self, *args):
        """Every (call, n) a clean run makes on the store, after `prepare`."""
        self.prepare()
        counts = os.path.join(self.scratch, "counts")
        result = self.faulted(*args, counts=counts)
        self.assertEqual(result.status, 0, result)
        with open(counts) as source:
            found = [(call, int(n)) for call, n in (line.split() for line in source)]
        points = [(call, at) for call, n in found for at in range(1, n + 1)]
        self.assertTrue(points)
        return points

    def assertNoCrash(self, result):
        self.assertIn(result.status, (0, 1), result)
        for sign in ("terminate called", "Sanitizer", "runtime error"):
            self.assertNotIn(sign, result.err, result)

    def assertReported(self, result, call, *texts):
        """An error line with the system's reason for the failed call."""
        self.assertIn(os.strerror(ERRNOS[call]), result.err, result)
        for text in texts:
            self.assertIn(text, result.err, result)

    def history(self, serial_text):
        path = os.path.join(self.store, serial_text, ".settings")
        if not os.path.exists(path):
            return {}
        with open(path) as source:
            return dict(line.rstrip("\n").split("=", 1) for line in source if "=" in line)

    def assertConsistent(self, serial_text, whole, leftovers_allowed=False):
        """Every package whole (one of `whole`, by name) or absent; the history
        names only whole packages; no temporary file unless allowed."""
        device = os.path.join(self.store, serial_text)
        if os.path.isdir(device):
            for name in os.listdir(device):
                if name.endswith(".bird"):
                    with open(os.path.join(device, name), "rb") as source:
                        self.assertEqual(source.read(), whole[name], name)
            latest = self.history(serial_text).get("LATEST_DOWNLOAD", "")
            if latest:
                self.assertTrue(os.path.exists(os.path.join(device, latest)), latest)
        if not leftovers_allowed:
            self.assertEqual(temporaries(self.store), [])


class DownloadFaults(StoreFaults, ServerTestCase):
    """-G: status 0 means the package is stored and the history names it."""

    def setUp(self):
        super().setUp()
        self.start_server()
        self.fresh = self.package(0x40F5849A, 1234)
        self.earlier = birdfile.build_bird([birdfile.firmware_block(0x1000, b"an earlier package")])
        self.whole = {"1234.bird": self.fresh, "1200.bird": self.earlier}
        self.known = True

    def prepare(self):
        shutil.rmtree(self.store, ignore_errors=True)
        device = os.path.join(self.store, SN)
        os.makedirs(device if self.known else self.store)
        if self.known:
            with open(os.path.join(device, "1200.bird"), "wb") as out:
                out.write(self.earlier)
            with open(os.path.join(device, ".settings"), "wb") as out:
                out.write(EARLIER_SETTINGS)

    def check_every_call(self, known):
        self.known = known
        for call, at in self.fault_points("-u", self.url, "-G", "-d", SN):
            with self.subTest(call=call, at=at, known=known):
                self.prepare()
                result = self.faulted("-u", self.url, "-G", "-d", SN, call=call, at=at)
                self.assertNoCrash(result)
                if result.status == 0:
                    self.assertEqual(result.err, "", result)
                    self.assertEqual(self.history(SN)["LATEST_DOWNLOAD"], "1234.bird")
                else:
                    self.assertReported(result, call)
                self.assertConsistent(SN, self.whole)

    def test_each_failed_call_for_a_known_device_is_reported(self):
        self.check_every_call(known=True)

    def test_each_failed_call_for_a_new_device_is_reported(self):
        self.check_every_call(known=False)

    def test_history_that_cannot_be_saved_fails_the_download(self):
        self.prepare()
        # The second rename is the history's (the package's comes first).
        result = self.faulted("-u", self.url, "-G", "-d", SN, call="rename", at=2)
        settings = os.path.join(self.store, SN, ".settings")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.err, "Package 1234.bird stored, but the download is not recorded in %s: %s\n"
                         % (settings, os.strerror(errno.ENOSPC)))
        self.assertEqual(self.history(SN)["LATEST_DOWNLOAD"], "1200.bird")
        self.assertConsistent(SN, self.whole)

    def test_killed_at_any_call_leaves_a_store_the_next_download_mends(self):
        for known in (True, False):
            self.known = known
            for call, at in self.fault_points("-u", self.url, "-G", "-d", SN):
                with self.subTest(call=call, at=at, known=known):
                    self.prepare()
                    killed = self.faulted("-u", self.url, "-G", "-d", SN, call=call, at=at, action="kill")
                    self.assertEqual(killed.status, -9, killed)
                    self.assertConsistent(SN, self.whole, leftovers_allowed=True)
                    again = self.cli("-G", "-d", SN)
                    self.assertEqual((again.status, again.err), (0, ""), again)
                    self.assertEqual(self.history(SN)["LATEST_DOWNLOAD"], "1234.bird")
                    self.assertConsistent(SN, self.whole)


class ListFaults(StoreFaults, ServerTestCase):
    """-L: a store that cannot be read is an error, never an empty list."""

    def setUp(self):
        super().setUp()
        self.packages = {"1200": birdfile.build_bird([birdfile.info_block(1200, "1.1.0", 0x40F5849A, "IOAnalog")]),
                         "1234": birdfile.build_bird([birdfile.info_block(1234, "1.2.3", 0x40F5849A, "IOAnalog")])}

    def prepare(self):
        shutil.rmtree(self.store, ignore_errors=True)
        device = os.path.join(self.store, SN)
        os.makedirs(device)
        for build, data in self.packages.items():
            with open(os.path.join(device, build + ".bird"), "wb") as out:
                out.write(data)
        with open(os.path.join(device, ".settings"), "wb") as out:
            out.write(EARLIER_SETTINGS)

    def test_each_failed_call_is_an_error_or_changes_nothing(self):
        clean = None
        for call, at in self.fault_points("-L", "-d", SN):
            with self.subTest(call=call, at=at):
                self.prepare()
                if clean is None:
                    clean = self.run_cli("-L", "-d", SN)
                    self.prepare()
                result = self.faulted("-L", "-d", SN, call=call, at=at)
                self.assertNoCrash(result)
                if result.status == 0:
                    self.assertEqual((result.out, result.err), (clean.out, ""), result)
                else:
                    self.assertReported(result, call)
                    self.assertNotIn("No builds found", result.out)
                self.assertEqual(temporaries(self.store), [])

    def test_unreadable_store_or_device_directory_is_an_error(self):
        device = os.path.join(self.store, SN)
        # The store is listed first, then the device's directory, whose end
        # is the last entry read.
        last = max(at for call, at in self.fault_points("-L", "-d", SN) if call == "readdir")
        for call, at, directory in (("opendir", 1, self.store), ("readdir", 1, self.store),
                                    ("opendir", 2, device), ("readdir", last, device)):
            with self.subTest(call=call, at=at):
                self.prepare()
                result = self.faulted("-L", "-d", SN, call=call, at=at)
                self.assertOutput(result, 1, VERSION_LINE, "Could not read the store directory %s: %s\n"
                                  % (directory, os.strerror(ERRNOS[call])))

    def test_unreadable_package_is_named(self):
        # The last package read first reads its bytes, then its end.
        last = max(at for call, at in self.fault_points("-L", "-d", SN) if call == "read") - 1
        self.prepare()
        result = self.faulted("-L", "-d", SN, call="read", at=last)
        self.assertEqual(result.status, 1, result)
        self.assertRegex(result.err, r"^Could not read package %s/%s/12(00|34)\.bird: %s\n$"
                         % (self.store, SN, os.strerror(errno.EIO)))
        self.assertIn("Build List for device [%s]:" % SN, result.out)

    def test_device_never_seen_is_no_error(self):
        self.prepare()
        result = self.faulted("-L", "-d", "0BADBEEF")
        self.assertOutput(result, 0, VERSION_LINE + "No builds found for device [0BADBEEF]\n", "")

    def test_temporary_files_are_never_listed(self):
        self.prepare()
        with open(os.path.join(self.store, SN, ".~tmp.abcdefgh"), "wb") as out:
            out.write(b"bird\x01\x01 half a package")
        result = self.run_cli("-L", "-d", SN)
        self.assertEqual(result.status, 0, result)
        self.assertNotIn("tmp", result.out)


class BuildListFaults(StoreFaults, ServerTestCase):
    """-B: the store directory that cannot be made, and a reply without end."""

    def prepare(self):
        shutil.rmtree(self.app_dir, ignore_errors=True)

    def test_store_directory_that_cannot_be_made_is_an_error(self):
        self.start_server()
        self.prepare()
        result = self.faulted("-u", self.url, "-B", "-d", SN, call="mkdir", at=1)
        self.assertOutput(result, 1, VERSION_LINE, "Could not find updater directory at %s\n" % self.store)
        self.assertEqual(self.ops(), [])

    def test_reply_body_beyond_the_bound_ends_the_request(self):
        for fault in ({"op": "builds", "kind": "endless"},
                      {"op": "builds", "kind": "endless", "announce": 64 * 1024 * 1024 + 1}):
            with self.subTest(fault=fault):
                self.start_server(faults=[fault])
                result = self.cli("-B", "-d", SN)
                self.assertOutput(result, 1, VERSION_LINE + "No builds found for device [%s]\n" % SN,
                                  "Failed to retrieve builds for %s\n" % SN)

    def test_reply_body_at_the_bound_is_read(self):
        self.start_server(faults=[{"op": "builds", "kind": "endless", "announce": 64 * 1024 * 1024}])
        result = self.cli("-B", "-d", SN)
        self.assertEqual((result.status, result.err), (0, ""), result)


class UpdateFaults(StoreFaults, UpdateTestCase):
    """-U: the module is updated either way; the update's outcome decides the
    status, and a transfer that could not be recorded says so."""

    def setUp(self):
        super().setUp()
        self.start_fleet(standin(HUB))

    def prepare(self):
        # The module restarts after each update: the next one needs it back.
        self.assertNotEqual(self.identity(HUB, within=30).get("online"), "0")
        shutil.rmtree(self.store, ignore_errors=True)
        self.package_path = self.store_package(1300, "2.13.0")
        with open(self.package_path, "rb") as source:
            self.whole = {"1300.bird": source.read()}
        with open(os.path.join(self.store, HUB_SN, ".settings"), "w") as out:
            out.write("LATEST_DOWNLOAD=1300.bird\n")

    def test_each_failed_call_is_reported_and_the_update_decides_the_status(self):
        for call, at in self.fault_points("-U", "-d", HUB_SN, "-b", "1300"):
            with self.subTest(call=call, at=at):
                self.prepare()
                result = self.faulted("-U", "-d", HUB_SN, "-b", "1300", call=call, at=at)
                self.assertNoCrash(result)
                if result.status == 0:
                    self.assertRegex(result.out, r"Update time: \d+\.\d{4} sec")
                    if result.err:
                        self.assertReported(result, call, "Update done, but not recorded in ")
                    else:
                        self.assertEqual(self.history(HUB_SN)["LATEST_TRANSFER"], "1300.bird")
                else:
                    # Only the package could not be read: nothing was sent.
                    self.assertEqual(result.err, "Failed to load bird file\n", result)
                self.assertConsistent(HUB_SN, self.whole)

    def test_device_directory_that_cannot_be_made_after_the_update(self):
        given = write_package(os.path.join(self.scratch, "given.bird"), HUB, 1400, "2.14.0")
        self.prepare()
        shutil.rmtree(self.store)
        os.makedirs(self.store)
        result = self.faulted("-U", "-d", HUB_SN, "-f", given, call="mkdir", at=1)
        self.assertEqual(result.status, 0, result)
        self.assertRegex(result.out, r"Update time: \d+\.\d{4} sec")
        self.assertEqual(result.err, "Update done, but not recorded in %s/%s: %s\n"
                         % (self.store, HUB_SN, os.strerror(errno.ENOSPC)))
        self.assertEqual(os.listdir(self.store), [])

    def test_history_that_cannot_be_saved_after_the_update(self):
        self.prepare()
        result = self.faulted("-U", "-d", HUB_SN, "-b", "1300", call="write", at=1)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err, "Update done, but not recorded in %s/%s/.settings: %s\n"
                         % (self.store, HUB_SN, os.strerror(errno.ENOSPC)))
        self.assertNotIn("LATEST_TRANSFER", self.history(HUB_SN))
        self.assertConsistent(HUB_SN, self.whole)


if __name__ == "__main__":
    unittest.main()
