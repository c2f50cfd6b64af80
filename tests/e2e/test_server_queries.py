"""-B, -L and -J: the listings in their exact format and the exit statuses
scripts rely on (1 when the query failed, 0 when it answered)."""
import os
import sys
import unittest

from tests.e2e.harness import ROOT, VERSION_LINE
from tests.e2e.server_support import CATALOGUE, SN, ServerTestCase

sys.path.insert(0, ROOT)
from sim import birdfile  # noqa: E402


def row(build, version):
    return "%-15.15s\t%-15.15s\n" % (build, version)


def listing(serial, rows):
    return (VERSION_LINE + "Build List for device [%s]:\n\n" % serial + row("Build", "Version")
            + "".join(row(b, v) for b, v in rows))


def catalogue_with(**device):
    return {"devices": {SN: device}}


class BuildList(ServerTestCase):
    def test_listed_newest_version_first(self):
        self.start_server(catalogue_with(current=1, builds={
            "100": "1.2.3", "101": "1.10.0", "102": "2.0.0", "700": "", "300": "1.0", "55": "0.0.9",
            "9999999999999999999": "1.2.3.4.5.6.7.8.9"}))
        result = self.cli("-B", "-d", SN)
        self.assertOutput(result, 0, listing(SN, [
            ("102", "2.0.0"), ("101", "1.10.0"), ("100", "1.2.3"), ("55", "0.0.9"),
            # malformed versions last, newest build first; both columns cut at 15
            ("999999999999999", "1.2.3.4.5.6.7.8"), ("700", ""), ("300", "1.0")]), "")
        self.assertEqual(self.queries(), ["op=hi&rv=2&", "op=builds&sn=40F5849A&"])

    def test_empty_list_is_an_answer(self):
        self.start_server()
        result = self.cli("-B", "-d", "12AB")
        self.assertOutput(result, 0, VERSION_LINE + "No builds found for device [000012AB]\n", "")

    def test_carriage_returns_are_cut(self):
        self.start_server({**CATALOGUE, "line_end": "\r\n"})
        result = self.cli("-B", "-d", SN)
        self.assertOutput(result, 0, listing(SN, [("999", "1.10.0"), ("1234", "1.2.3"), ("1200", "1.1.0")]), "")

    def test_duplicate_and_short_lines(self):
        self.start_server(faults=[{"op": "builds", "kind": "body", "body": "ok\n100;1.0.0\n101;1.1.0\n100;9.9.9\nx\n\n"}])
        result = self.cli("-B", "-d", SN)
        self.assertOutput(result, 0, listing(SN, [("101", "1.1.0"), ("100", "1.0.0")]), "")

    def test_server_refusal_fails(self):
        self.start_server()
        result = self.cli("-B", "-d", "0BADBEEF")
        self.assertOutput(result, 1, VERSION_LINE + "No builds found for device [0BADBEEF]\n",
                          "Failed to retrieve builds for 0BADBEEF\n")

    def test_unreachable_server_fails(self):
        result = self.run_cli("-B", "-d", SN)
        self.assertOutput(result, 1, VERSION_LINE + "No builds found for device [%s]\n" % SN,
                          "Server request failed for http://updates.tolvarine.example/cgi/u\n")

    def test_failed_ping_asks_nothing_else(self):
        self.start_server(faults=[{"op": "hi", "kind": "status", "status": 503}])
        result = self.cli("-B", "-d", SN)
        self.assertEqual((result.status, result.err), (1, "Server request failed for %s\n" % self.url))
        self.assertEqual(self.ops(), ["hi"])


class Token(ServerTestCase):
    def test_token_printed_as_received(self):
        self.start_server(catalogue_with(jwt="eyJh.eyJz.c2ln"))
        result = self.cli("-J", "-d", SN)
        self.assertOutput(result, 0, VERSION_LINE + "eyJh.eyJz.c2ln\n", "")
        self.assertEqual(self.queries(), ["op=hi&rv=2&", "json=false&op=ent_jwt&sn=40F5849A&"])

    def test_carriage_return_cut_from_signature(self):
        self.start_server({**catalogue_with(jwt="aa.bb.cc"), "line_end": "\r\n"})
        self.assertOutput(self.cli("-J", "-d", SN), 0, VERSION_LINE + "aa.bb.cc\n", "")

    def test_fewer_than_three_parts_refused(self):
        for token in ("aa.bb", "aabbcc", "a.bb.cc", "aa.b.cc", "aa.bb.c", "aa..cc", "ab"):
            with self.subTest(token=token):
                self.start_server(catalogue_with(jwt=token))
                result = self.cli("-J", "-d", SN)
                self.assertOutput(result, 1, VERSION_LINE + "\n", "Failed to retrieve jwt for %s\n" % SN)

    def test_missing_token_line_refused(self):
        self.start_server(faults=[{"op": "ent_jwt", "kind": "missing_line"}])
        self.assertOutput(self.cli("-J", "-d", SN), 1, VERSION_LINE + "\n", "Failed to retrieve jwt for %s\n" % SN)

    def test_unreachable_server(self):
        result = self.run_cli("-J", "-d", SN)
        self.assertOutput(result, 1, VERSION_LINE + "\n",
                          "Server request failed for http://updates.tolvarine.example/cgi/u\n")


class LocalList(ServerTestCase):
    def put(self, name, data):
        device = os.path.join(self.store, SN)
        os.makedirs(device, exist_ok=True)
        with open(os.path.join(device, name), "wb") as out:
            out.write(data)

    def package(self, build, version):
        return birdfile.build_bird([birdfile.info_block(build, version, 0x40F5849A, "TVHub4"),
                                    birdfile.firmware_block(0, b"\x01\x02\x03\x04")])

    def test_stored_files_with_their_versions(self):
        self.put("1234.bird", self.package(1234, "1.2.3"))
        self.put("1300.bird", self.package(1300, ""))               # a package without version
        self.put("notes.txt", b"not a package")                    # no ".bird": the whole name
        self.put("1200.bird", self.package(1200, "1.1.0"))
        self.put("1200.bird.old", b"bird\x01\x01 broken")          # same build number, listed once
        self.put("1400.bird", b"garbage")                          # not a Bird file: no version
        result = self.run_cli("-L", "-d", SN)
        self.assertEqual(result.status, 0, result)
        lines = result.out.splitlines()
        self.assertEqual(lines[:4], [VERSION_LINE.strip(), "Build List for device [%s]:" % SN, "",
                                     row("Build", "Version").rstrip("\n")])
        rows = sorted(lines[4:])
        self.assertEqual(rows, sorted(row(b, v).rstrip("\n") for b, v in [
            ("1234", "1.2.3"), ("1300", ""), ("notes.txt", ""), ("1400", ""),
            ("1200", "1.1.0" if os.listdir(os.path.join(self.store, SN)).index("1200.bird")
             < os.listdir(os.path.join(self.store, SN)).index("1200.bird.old") else "")]))
        self.assertEqual(result.err, "")

    def test_unknown_device_lists_nothing_and_succeeds(self):
        result = self.run_cli("-L", "-d", SN)
        self.assertOutput(result, 0, VERSION_LINE + "No builds found for device [%s]\n" % SN, "")

    def test_makes_no_request(self):
        self.start_server()
        self.put("1234.bird", self.package(1234, "1.2.3"))
        self.assertEqual(self.cli("-L", "-d", SN).status, 0)
        self.assertEqual(self.requests(), [])


if __name__ == "__main__":
    unittest.main()
