"""Several stand-ins from one description (sim/fleet.py), and the TCP/IP
discovery answer of a stand-in before and after a reboot into new firmware.

The discovery tests send multicast: they run only inside the private
network namespace (scripts/netns), and are skipped elsewhere."""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from sim import fleet, firmware
from tests.unit.sim.wire import FLEET, Control, Link, StandIn, be

IN_NETNS = os.environ.get("TV_NETNS") == "1"


def serial_of(port, address=2):
    link = Link(port, attempts=50)
    try:
        reply = link.ask(address, [3, 0x49, 0x20], [3, 9])
        return None if reply is None else int.from_bytes(reply[3:], "big")
    finally:
        link.close()


class FleetLibrary(unittest.TestCase):
    def test_each_stand_in_has_its_own_identity_and_ports(self):
        descriptions = [
            {"label": "hub", "serial": "0x40F5849A", "model": 17},
            {"label": "router", "serial": "0x40F50002", "model": 5, "version": "2.15.0",
             "behind": [{"address": 4, "serial": "0x40F50004", "model": 6},
                        {"address": 6, "serial": "0x40F50006", "model": 6}]},
            {"label": "serial", "serial": 7, "pty": True},
        ]
        with fleet.Fleet(descriptions) as infos:
            self.assertEqual([i["label"] for i in infos], ["hub", "router", "serial"])
            self.assertEqual(len({i["control_port"] for i in infos}), 3)
            self.assertEqual(serial_of(infos[0]["tcp_port"]), 0x40F5849A)
            self.assertEqual(serial_of(infos[1]["tcp_port"]), 0x40F50002)
            self.assertEqual(serial_of(infos[1]["tcp_port"], 6), 0x40F50006)
            self.assertEqual([m["serial"] for m in infos[1]["behind"]], [0x40F50004, 0x40F50006])
            self.assertNotIn("tcp_port", infos[2])
            self.assertTrue(os.path.exists(infos[2]["pty"]))
            control = Control(infos[1]["control_port"])
            self.assertEqual(control("modules"), ["2:40F50002:5", "4:40F50004:6", "6:40F50006:6"])
            control.close()
            pids = [i["pid"] for i in infos]
        time.sleep(0.2)
        for pid in pids:
            with self.assertRaises(OSError):
                os.kill(pid, 0)

    def test_module_text_and_description_forms(self):
        desc = fleet.module_from_text("label=a,serial=0x10,pooled=1,behind=4:0x11:6;8:0x12:6:3.0.0:77")
        self.assertEqual(desc, {"label": "a", "serial": "0x10", "pooled": True,
                                "behind": [{"address": "4", "serial": "0x11", "model": "6"},
                                           {"address": "8", "serial": "0x12", "model": "6", "version": "3.0.0",
                                            "build": "77"}]})
        self.assertEqual(fleet.load_description('{"standins": [{"serial": 1}]}'), [{"serial": 1}])
        with self.assertRaises(ValueError):
            fleet.load_description('{"serial": 1}')


class FleetCommand(unittest.TestCase):
    def test_command_line_prints_and_records_the_ports(self):
        with tempfile.TemporaryDirectory() as tmp:
            info_path = os.path.join(tmp, "fleet.json")
            proc = subprocess.Popen([sys.executable, FLEET, "--count", "2", "--serial-base", "0x500",
                                     "--module", "serial=0x600,behind=4:0x601:6", "--info", info_path],
                                    stdout=subprocess.PIPE, text=True)
            try:
                line = proc.stdout.readline()
                self.assertTrue(line.startswith("TV-FLEET "), line)
                record = json.loads(line.split(" ", 1)[1])
                with open(info_path, encoding="utf-8") as handle:
                    self.assertEqual(json.load(handle), record)
                ports = [s["tcp_port"] for s in record["standins"]]
                self.assertEqual([serial_of(p) for p in ports], [0x600, 0x500, 0x501])
                self.assertEqual(serial_of(ports[0], 4), 0x601)
            finally:
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(10), 0)
                proc.stdout.close()

    def test_bad_description_is_refused(self):
        result = subprocess.run([sys.executable, FLEET, "--module", "serial"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("KEY=VALUE", result.stderr)


@unittest.skipUnless(IN_NETNS, "sends multicast: run inside scripts/netns")
class Discovery(unittest.TestCase):
    def ask_discovery(self, timeout=1.0):
        """Every 16-byte record answering one request sent to 232.2.2.2:9888."""
        replies = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        replies.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        replies.bind(("", 9889))
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("198.18.0.1"))
        out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        out.sendto(bytes([1]) + bytes(15), ("232.2.2.2", 9888))
        records, deadline = [], time.monotonic() + timeout
        replies.settimeout(0.1)
        while time.monotonic() < deadline:
            try:
                records.append(replies.recv(64))
            except socket.timeout:
                pass
        out.close()
        replies.close()
        return records

    def test_fleet_answers_with_each_identity(self):
        with fleet.Fleet([{"serial": 0x40F50001, "model": 5, "discovery": True},
                          {"serial": 0x40F50002, "model": 6, "discovery": True}]) as infos:
            time.sleep(0.2)
            records = self.ask_discovery()
            found = {struct.unpack("<I", r[4:8])[0]: (r[1], struct.unpack("<H", r[2:4])[0], r[12])
                     for r in records if len(r) == 16}
            self.assertEqual(found, {0x40F50001: (2, infos[0]["tcp_port"], 5),
                                     0x40F50002: (2, infos[1]["tcp_port"], 6)})

    def test_silent_while_away_and_answers_after_reboot(self):
        standin = StandIn("--discovery", "--serial", "0x40F5AAAA", "--down-ms", "700")
        self.addCleanup(standin.close)
        time.sleep(0.2)
        self.assertEqual(len(self.ask_discovery(0.5)), 1)
        link = standin.link()
        link.ask(2, [0x5F, 3, 0, 0x10, 0, 0, 0], [0x5F, 7])
        link.ask(2, [0x5F, 2], [0x5F, 2])
        self.assertTrue(link.closed())
        link = standin.link(attempts=200)
        link.ask(2, [0x5F, 3, 1, 0, 0, 0, 0], [0x5F, 7])
        record = firmware.identity_record(5151, "2.15.2")
        for at in range(0, len(record), 26):
            link.ask(2, [0x5F, 1] + list(record[at:at + 26]), [0x5F, 1])
        link.ask(2, [0x5F, 5] + list(be(len(record), 2)), [0x5F, 7])
        link.send(2, [0x5F, 6])
        self.assertTrue(link.closed())
        self.assertEqual(self.ask_discovery(0.3), [], "nobody answers while the module reboots")
        time.sleep(0.6)
        (answer,) = self.ask_discovery(0.5)
        self.assertEqual(struct.unpack("<I", answer[4:8])[0], 0x40F5AAAA)
        self.assertEqual(struct.unpack("<H", answer[2:4])[0], standin.port)
        self.assertEqual(standin.control("identity")[5], "build=5151")


if __name__ == "__main__":
    unittest.main()
