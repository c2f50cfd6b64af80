"""Every failure mode of the stand-in, at every request of -G: the message,
the exit status, the requests that were (and were not) made, and a store
left exactly as it was, both for a device it already knew and a new one."""
import base64
import os
import resource
import shutil
import signal
import subprocess
import unittest

from sim import birdfile
from tests.e2e.harness import UPDATER

from tests.e2e.server_support import SN, ServerTestCase

SERVER_FAILED = "Server request failed for {url}\n"
NO_BUILD_INFO = "No build information for device\n"
NOT_VALID = "No valid build 1234\n"
DOWNLOAD_FAILED = "Download failed\nFailed to retrieve a valid BIRD file\n"
NO_PAYLOAD = "Failed to retrieve a valid BIRD file\n"

TRANSPORT_FAULTS = [
    {"kind": "status", "status": 500},
    {"kind": "status", "status": 404, "body": "ok\n1234\n"},
    {"kind": "not_ok"},
    {"kind": "empty_body"},
    {"kind": "body", "body": "OK\n1234\n1.2.3\n"},
    {"kind": "drop"},
    {"kind": "drop", "after_bytes": 30},
]

# (fault at op, expected error output, status, requests made)
CASES = (
    [({"op": "hi", **f}, SERVER_FAILED, 1, ["hi"]) for f in TRANSPORT_FAULTS]
    + [({"op": "qu", **f}, NO_BUILD_INFO, 1, ["hi", "qu"]) for f in TRANSPORT_FAULTS]
    + [({"op": "builds", **f}, NOT_VALID, 1, ["hi", "qu", "builds"]) for f in TRANSPORT_FAULTS]
    + [({"op": "bird", **f}, DOWNLOAD_FAILED, 1, ["hi", "qu", "builds", "bird"]) for f in TRANSPORT_FAULTS]
    + [
        # A build list that answers with nothing lists no build.
        ({"op": "builds", "kind": "missing_line"}, NOT_VALID, 1, ["hi", "qu", "builds"]),
        # The download answered, but with no payload.
        ({"op": "bird", "kind": "missing_line"}, NO_PAYLOAD, 1, ["hi", "qu", "builds", "bird"]),
        ({"op": "bird", "kind": "empty_payload"}, NO_PAYLOAD, 1, ["hi", "qu", "builds", "bird"]),
        ({"op": "bird", "kind": "drop", "after_bytes": 2000}, DOWNLOAD_FAILED, 1, ["hi", "qu", "builds", "bird"]),
    ]
)

# A payload that does not decode to a Bird file is a failed download: nothing
# is stored and -G says so and ends with status 1.
UNDECODABLE = [{"op": "bird", "kind": "bad_length"}, {"op": "bird", "kind": "bad_chars"},
               {"op": "bird", "kind": "body", "body": "ok\nbm90IGEgYmlyZCBmaWxl\n"}]

EARLIER = {".settings": b"CREATED_TIME=Mon Jan  5 10:00:00 2026\nLATEST_DOWNLOAD=1200.bird\n"
                        b"UPDATED_TIME=Mon Jan  5 10:00:00 2026\n",
           "1200.bird": b"bird\x01\x01 an earlier package", "1234.bird": b"bird\x01\x01 the old 1234"}


class FaultMatrix(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.start_server()

    def seed_store(self):
        device = os.path.join(self.store, SN)
        os.makedirs(device)
        for name, data in EARLIER.items():
            with open(os.path.join(device, name), "wb") as out:
                out.write(data)

    def check(self, fault, err, status, ops, seeded):
        url = self.url
        self.set_faults([fault])
        shutil.rmtree(self.store, ignore_errors=True)
        if seeded:
            self.seed_store()
        else:
            os.makedirs(self.store)
        before = self.snapshot()
        result = self.cli("-G", "-d", SN)
        self.assertEqual((result.status, result.err), (status, err.format(url=url)), result)
        self.assertEqual(self.ops(), ops)
        self.assertEqual(self.snapshot(), before)

    def test_every_fault_at_every_request(self):
        for fault, err, status, ops in CASES:
            for seeded in (False, True):
                with self.subTest(fault=fault, seeded=seeded):
                    self.check(fault, err, status, ops, seeded)

    def test_undecodable_payload_stores_nothing(self):
        for fault in UNDECODABLE:
            for seeded in (False, True):
                with self.subTest(fault=fault, seeded=seeded):
                    self.check(fault, NO_PAYLOAD, 1, ["hi", "qu", "builds", "bird"], seeded)

    def test_current_build_line_missing_asks_for_build_zero(self):
        self.set_faults([{"op": "qu", "kind": "missing_line"}])
        os.makedirs(self.store)
        result = self.cli("-G", "-d", SN)
        self.assertEqual((result.status, result.err), (1, "No valid build 0\n"), result)
        self.assertIn("Retrieving build 0\n", result.out)
        self.assertEqual(self.snapshot(), {"./": None})


class DownloadEdges(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.start_server()
        os.makedirs(self.store)

    def test_payload_line_ending_in_carriage_return_is_stored(self):
        package = birdfile.build_bird([birdfile.firmware_block(0x1000, bytes(range(200)))])
        body = "ok\r\n" + base64.b64encode(package).decode() + "\r\n"
        self.set_faults([{"op": "bird", "kind": "body", "body": body}])
        result = self.cli("-G", "-d", SN)
        self.assertEqual(result.status, 0, result)
        with open(os.path.join(self.store, SN, "1234.bird"), "rb") as stored:
            self.assertEqual(stored.read(), package)

    def test_file_that_cannot_be_written_is_not_recorded(self):
        before = self.snapshot()

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

        completed = subprocess.run([UPDATER, "-i", self.app_dir, "-u", self.url, "-G", "-d", SN],
                                   capture_output=True, text=True, preexec_fn=small_files, timeout=60)
        self.assertEqual(completed.returncode, 1, completed)
        self.assertRegex(completed.stderr, r"Failed to write file with \d+\n")
        self.assertEqual(self.snapshot(), before)


if __name__ == "__main__":
    unittest.main()
