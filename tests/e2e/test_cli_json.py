"""--json: every command prints exactly one JSON document on standard output,
valid against the installed schema, whatever happens; errors still go to
standard error as text; the exit status is the same as without it."""
import os
import unittest

from sim import birdfile
from tests.e2e.fleet_support import HUB, HUB_SN, FleetTestCase, package_blocks, standin, write_package
from tests.e2e.harness import EXPECTED, UpdaterTestCase, expected, json_document
from tests.e2e.server_support import SN, ServerTestCase
from tests.e2e.test_recovery_flows import FP_TEXT, RecoveryTestCase, lpc_package

# Quotes, a backslash, a control byte and bytes that are not UTF-8.
HOSTILE_NAME = b'Hub "A" \\ \x01 \xff\xfe'
ROUTER = 0x40F50002


class JsonTestCase(UpdaterTestCase):
    def run_json(self, *args, **kwargs):
        result = self.run_cli("--json", *args, **kwargs)
        return result, json_document(self, result)


class JsonCommandLine(JsonTestCase):
    def test_help_usage_and_refused_command_lines(self):
        result, document = self.run_json("-h")
        self.assertEqual((result.status, result.err), (0, ""))
        self.assertEqual(document["usage"], expected("usage_full.txt"))
        self.assertEqual(document["updater"], {"version": "2.11.4", "build_date": "Sep 23 2025"})
        # Without a command: the short usage.
        _, document = self.run_json("-d", SN)
        self.assertEqual(document["usage"], expected("usage_short.txt"))
        # Options after a help option are not read: the console's help.
        result = self.run_cli("-h", "--json")
        self.assertEqual((result.status, result.err), (0, expected("usage_full.txt")))
        # A command line that does not parse.
        result, document = self.run_json("-Y", "-d", "zz")
        self.assertEqual(result.status, 1)
        self.assertEqual(document["errors"], ["Unhandled command: [-Y]",
                                              "Invalid serial number obtained from argument [zz]"])
        self.assertEqual(result.err, "Unhandled command: [-Y]\nInvalid serial number obtained from argument [zz]\n")
        # A missing parameter: the message, no usage on standard error.
        result, document = self.run_json("-L")
        self.assertEqual((result.status, document["errors"]),
                         (1, ["Error must supply a serial number for the List Local Builds command"]))
        self.assertEqual(result.err, "Error must supply a serial number for the List Local Builds command\n")

    def test_a_store_that_cannot_be_made(self):
        with open(os.path.join(self.scratch, "file"), "w"):
            pass
        result, document = self.run_cli("--json", "-i", os.path.join(self.scratch, "file"), "-L", "-d", SN), None
        document = json_document(self, result)
        self.assertEqual(result.status, 1)
        self.assertEqual(len(document["errors"]), 1)
        self.assertIn("Could not find updater directory", document["errors"][0])


class JsonServerCommands(JsonTestCase, ServerTestCase):
    def test_builds_download_local_list_and_token(self):
        url = self.start_server({"devices": {SN: {"current": 1234, "builds": {"1200": "1.1.0", "1234": "1.2.3"},
                                                  "firmware_size": 500, "jwt": "eyJh.eyJz.c2ln"}}})
        result, document = self.run_json("-B", "-d", SN, "-u", url)
        self.assertEqual(result.status, 0)
        self.assertEqual((document["device"], document["builds"]),
                         (SN, [{"build": 1234, "version": "1.2.3"}, {"build": 1200, "version": "1.1.0"}]))

        result, document = self.run_json("-G", "-d", SN, "-u", url)
        stored = os.path.join(self.store, SN, "1234.bird")
        self.assertEqual((result.status, document["device"], document["build"], document["file"]),
                         (0, SN, 1234, stored))
        self.assertTrue(os.path.exists(stored))

        result, document = self.run_json("-L", "-d", SN)
        self.assertEqual(document["builds"], [{"build": 1234, "version": "1.2.3", "file": stored}])

        result, document = self.run_json("-J", "-d", SN, "-u", url)
        self.assertEqual((result.status, document["token"]), (0, "eyJh.eyJz.c2ln"))

    def test_failures_are_in_the_document_and_the_status(self):
        result, document = self.run_json("-B", "-d", SN, "-u", "http://127.0.0.1:9/cgi/u")
        self.assertEqual((result.status, document["ok"], document["builds"]), (1, False, []))
        self.assertTrue(document["errors"])
        result, document = self.run_json("-G", "-d", SN, "-u", "http://127.0.0.1:9/cgi/u")
        self.assertEqual(result.status, 1)
        self.assertNotIn("build", document)


class JsonModules(JsonTestCase, FleetTestCase):
    def test_discovery_direct_and_behind_a_router(self):
        self.start_fleet(standin(HUB, version="2.11.4", build=1100),
                         standin(ROUTER, model=5, version="2.15.0", behind=[
                             {"address": 4, "serial": "0x40F50004", "model": 6, "build": 1300}]))
        self.control(HUB, "set", "name_hex", HOSTILE_NAME.hex())
        result, document = self.run_json("-D", "-t", "TCPIP")
        self.assertEqual(result.status, 0)
        hub = [device for device in document["devices"] if device["serial"] == HUB_SN]
        self.assertEqual(len(hub), 1, document)
        self.assertEqual(hub[0], {"serial": HUB_SN, "module": 2, "router": 2, "model": "IOAnalog",
                                  "model_number": 0x11, "version": "2.11.4", "build": 1100, "transport": "TCPIP",
                                  "address": "198.18.0.1", "name": HOSTILE_NAME.decode("utf-8", "replace"),
                                  "error": 0})

        result, document = self.run_json("-D", "-r", "%08X" % ROUTER)
        self.assertEqual(result.status, 0)
        self.assertEqual([(d["serial"], d["module"], d["build"]) for d in document["devices"]],
                         [("40F50004", 4, 1300)])

    def test_update_and_a_failed_update(self):
        self.start_fleet(standin(HUB))
        device = os.path.join(self.store, HUB_SN)
        os.makedirs(device)
        package = write_package(os.path.join(device, "1300.bird"), HUB, 1300, "2.13.0")
        result, document = self.run_json("-U", "-d", HUB_SN, "-b", "1300")
        self.assertEqual(result.status, 0, repr(result))
        self.assertFlashHolds(HUB, package_blocks(package))
        self.assertEqual((document["device"], document["build"], document["file"]), (HUB_SN, 1300, package))
        self.assertGreater(document["seconds"], 0)
        self.assertEqual((document["verified"], document["running_build"]), (True, 1300))

        result, document = self.run_json("-U", "-d", HUB_SN, "-b", "1301")
        self.assertEqual((result.status, document["device"]), (1, HUB_SN))
        self.assertTrue(document["errors"])


class JsonRecovery(JsonTestCase, RecoveryTestCase):
    def test_fingerprint(self):
        result, document = self.run_json("-N", "-s", self.pty)
        self.assertEqual((result.status, document["fingerprint"]), (0, FP_TEXT.split()))
        self.control("silent", 1)
        result, document = self.run_json("-N", "-s", self.pty, timeout=300)
        self.assertEqual((result.status, document["errors"]), (1, ["Got no response from chip"]))
        self.assertNotIn("fingerprint", document)

    def test_recovery(self):
        package = lpc_package(os.path.join(self.scratch, "given.bird"), self.images[:1])
        result, document = self.run_json("-U", "-t", "RECOVER", "-s", self.pty, "-f", package, timeout=300)
        self.assertEqual(result.status, 0, repr(result))
        self.assertEqual((document["fingerprint"], document["file"]), (FP_TEXT.split(), package))
        self.assertNotIn("verified", document)


if __name__ == "__main__":
    unittest.main()
