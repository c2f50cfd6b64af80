"""-G against the update-server stand-in: what is asked, what is stored,
what is printed."""
import os
import re
import unittest

from tests.e2e.harness import VERSION_LINE
from tests.e2e.server_support import SERIAL, SN, ServerTestCase

CTIME = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$")


def header(build=None):
    text = VERSION_LINE + "Retrieving firmware for device with serial number %s\n" % SN
    if build is None:
        return text + "No build specified\nUsing Latest build\n"
    return text + "Retrieving firmware build %s\n" % build


def validated(build):
    return "Retrieving build %d\nValidating build %d with server\nBuild %d is valid\n" % (build, build, build)


class LatestBuild(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.start_server()

    def test_current_build_stored_byte_for_byte_with_history(self):
        result = self.cli("-G", "-d", SN)
        self.assertOutput(result, 0, header() + validated(1234), "")
        with open(os.path.join(self.store, SN, "1234.bird"), "rb") as stored:
            self.assertEqual(stored.read(), self.package(SERIAL, 1234))
        settings = self.settings()
        self.assertEqual(settings["LATEST_DOWNLOAD"], "1234.bird")
        self.assertRegex(settings["LAST_DOWNLOAD_DATE"], CTIME)
        self.assertEqual(sorted(os.listdir(os.path.join(self.store, SN))), [".settings", "1234.bird"])

    def test_requests_in_order_with_exact_queries(self):
        self.cli("-G", "-d", SN)
        self.assertEqual(self.queries(), [
            "op=hi&rv=2&",
            "op=qu&sn=40F5849A&",
            "op=builds&sn=40F5849A&",
            "bld=1234&fw=1.2.3&no_cal=false&op=bird&sn=40F5849A&",
        ])
        self.assertEqual({r["path"] for r in self.requests()}, {"/cgi/u"})

    def test_build_that_is_not_a_number_means_latest(self):
        result = self.cli("-G", "-d", SN, "-b", "abc")
        self.assertOutput(result, 0, header("0") + validated(1234), "")
        self.assertTrue(os.path.exists(os.path.join(self.store, SN, "1234.bird")))

    def test_second_download_replaces_history_and_keeps_older_files(self):
        self.assertEqual(self.cli("-G", "-d", SN, "-b", "1200").status, 0)
        self.assertEqual(self.cli("-G", "-d", SN).status, 0)
        self.assertEqual(sorted(os.listdir(os.path.join(self.store, SN))), [".settings", "1200.bird", "1234.bird"])
        self.assertEqual(self.settings()["LATEST_DOWNLOAD"], "1234.bird")


class GivenBuild(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.start_server()

    def test_listed_build_is_fetched_with_the_current_version_text(self):
        result = self.cli("-G", "-d", SN, "-b", "1200")
        self.assertOutput(result, 0, header("1200") + validated(1200), "")
        with open(os.path.join(self.store, SN, "1200.bird"), "rb") as stored:
            self.assertEqual(stored.read(), self.package(SERIAL, 1200))
        self.assertEqual(self.settings()["LATEST_DOWNLOAD"], "1200.bird")
        # The fw parameter carries the version of the device's current build.
        self.assertEqual(self.queries()[-1], "bld=1200&fw=1.2.3&no_cal=false&op=bird&sn=40F5849A&")

    def test_unlisted_build_is_refused_before_downloading(self):
        result = self.cli("-G", "-d", SN, "-b", "555")
        self.assertOutput(result, 1, header("555") + "Retrieving build 555\nValidating build 555 with server\n",
                          "No valid build 555\n")
        self.assertEqual(self.ops(), ["hi", "qu", "builds"])
        self.assertEqual(self.snapshot(), {"./": None})

    def test_override_skips_validation(self):
        result = self.cli("-G", "-d", SN, "-b", "555", "-OVERRIDE")
        self.assertOutput(result, 0, header("555") + "Retrieving build 555\n"
                          "Override specified, skipping validation of build 555\n", "")
        self.assertEqual(self.ops(), ["hi", "qu", "bird"])
        with open(os.path.join(self.store, SN, "555.bird"), "rb") as stored:
            self.assertEqual(stored.read(), self.package(SERIAL, 555, version="1.2.3"))

    def test_build_number_is_passed_on_to_update_in_the_same_run(self):
        # -U is not built yet and fails, but it runs after -G's download.
        result = self.cli("-G", "-U", "-d", SN, "-b", "1200")
        self.assertEqual(result.status, 1)
        self.assertTrue(result.out.startswith(header("1200") + validated(1200)), result)
        self.assertTrue(os.path.exists(os.path.join(self.store, SN, "1200.bird")))


class Refusals(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.start_server()

    def test_device_unknown_to_the_server(self):
        result = self.cli("-G", "-d", "0BADBEEF")
        self.assertEqual((result.status, result.err), (1, "No build information for device\n"), result)
        self.assertEqual(self.ops(), ["hi", "qu"])
        self.assertEqual(self.snapshot(), {"./": None})

    def test_default_server_is_never_reached(self):
        result = self.run_cli("-G", "-d", SN)
        self.assertOutput(result, 1, header(), "Server request failed for http://updates.tolvarine.example/cgi/u\n")
        self.assertEqual(self.requests(), [])
        self.assertEqual(self.snapshot(), {"./": None})

    def test_nothing_listening(self):
        url = self.url
        self.stop_server()
        result = self.run_cli("-u", url, "-G", "-d", SN)
        self.assertOutput(result, 1, header(), "Server request failed for %s\n" % url)
        self.assertEqual(self.snapshot(), {"./": None})


if __name__ == "__main__":
    unittest.main()
