"""A server that stops sending ends the request after the low-speed time
(about 30 s) instead of hanging the tool; the store stays as it was."""
import os
import time
import unittest

from tests.e2e.harness import VERSION_LINE
from tests.e2e.server_support import SN, ServerTestCase

LOW_SPEED_TIME = 30


class Stall(ServerTestCase):
    def timed(self, *args):
        start = time.monotonic()
        result = self.cli(*args, timeout=LOW_SPEED_TIME * 3)
        return result, time.monotonic() - start

    def test_download_that_stalls_mid_body(self):
        self.start_server(faults=[{"op": "bird", "kind": "stall", "after_bytes": 500}])
        os.makedirs(self.store)
        result, elapsed = self.timed("-G", "-d", SN)
        self.assertEqual((result.status, result.err),
                         (1, "Download failed\nFailed to retrieve a valid BIRD file\n"), result)
        self.assertGreaterEqual(elapsed, LOW_SPEED_TIME - 1)
        self.assertLess(elapsed, LOW_SPEED_TIME * 2)
        self.assertEqual(self.snapshot(), {"./": None})

    def test_ping_that_never_answers(self):
        self.start_server(faults=[{"op": "hi", "kind": "stall"}])
        result, elapsed = self.timed("-B", "-d", SN)
        self.assertOutput(result, 1, VERSION_LINE + "No builds found for device [%s]\n" % SN,
                          "Server request failed for %s\n" % self.url)
        self.assertLess(elapsed, LOW_SPEED_TIME * 2)


if __name__ == "__main__":
    unittest.main()
