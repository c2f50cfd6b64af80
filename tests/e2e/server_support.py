"""End-to-end tests against the update-server stand-in: one stand-in process
per test, found through the port file it writes, and a snapshot of the
store to prove what a run did or did not change."""
import json
import os
import subprocess
import sys
import time
import urllib.request

from tests.e2e.harness import ROOT, UpdaterTestCase

STAND_IN = os.path.join(ROOT, "sim", "update_server.py")
SERIAL = 0x40F5849A
SN = "%08X" % SERIAL

CATALOGUE = {
    "devices": {
        SN: {"current": 1234, "builds": {"1200": "1.1.0", "1234": "1.2.3", "999": "1.10.0"},
             "firmware_size": 3000},
        "000012AB": {"current": 7, "builds": {}},
    },
    "chips": {"00000001 00000002 00000003 00000004": {"device": SN, "build": 1200}},
}


class ServerTestCase(UpdaterTestCase):
    catalogue = CATALOGUE

    def setUp(self):
        super().setUp()
        self.server = None

    def tearDown(self):
        self.stop_server()
        super().tearDown()

    def start_server(self, catalogue=None, faults=(), tls=None):
        """Starts the stand-in; returns its endpoint URL."""
        self.stop_server()
        path = os.path.join(self.scratch, "catalogue.json")
        with open(path, "w") as out:
            json.dump(catalogue if catalogue is not None else self.catalogue, out)
        self.port_file = os.path.join(self.scratch, "server.port")
        self.request_log = os.path.join(self.scratch, "requests.jsonl")
        for name in (self.port_file, self.request_log):
            if os.path.exists(name):
                os.unlink(name)
        args = [sys.executable, STAND_IN, "--catalogue", path, "--port-file", self.port_file,
                "--log", self.request_log]
        for fault in faults:
            args += ["--fault", json.dumps(fault)]
        if tls:
            args += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        self.server = subprocess.Popen(args, stdout=subprocess.DEVNULL, cwd=ROOT)
        deadline = time.monotonic() + 15
        while not os.path.exists(self.port_file):
            if self.server.poll() is not None or time.monotonic() > deadline:
                self.fail("the stand-in did not start")
            time.sleep(0.02)
        with open(self.port_file) as source:
            self.url = source.read().split()[1]
        return self.url

    def stop_server(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait(timeout=10)
            self.server = None

    def control(self, path, payload=None):
        """POSTs to the stand-in's control path (plain http only)."""
        data = json.dumps(payload).encode() if payload is not None else b""
        port = self.url.split(":")[2].split("/")[0]
        with urllib.request.urlopen("http://127.0.0.1:%s%s" % (port, path), data=data, timeout=10) as reply:
            return reply.read()

    def set_faults(self, faults):
        self.control("/control/faults", list(faults))
        self.control("/control/reset")

    def cli(self, *args, **kwargs):
        return self.run_cli("-u", self.url, *args, **kwargs)

    def requests(self):
        if not os.path.exists(self.request_log):
            return []
        with open(self.request_log) as source:
            return [json.loads(line) for line in source if line.strip()]

    def ops(self):
        return [r["op"] for r in self.requests()]

    def queries(self):
        return [r["query"] for r in self.requests()]

    def snapshot(self):
        """Every directory and file under the store, with the files' bytes."""
        found = {}
        for base, dirs, files in os.walk(self.store):
            rel = os.path.relpath(base, self.store)
            found[rel + "/"] = None
            for name in files:
                with open(os.path.join(base, name), "rb") as source:
                    found[os.path.join(rel, name)] = source.read()
        return found

    def package(self, serial, build, catalogue=None, version=None):
        """The bytes the stand-in serves for this device and build."""
        sys.path.insert(0, ROOT)
        from sim.update_server import Catalogue
        return Catalogue(catalogue if catalogue is not None else self.catalogue).package(serial, build, version)

    def settings(self, serial=SERIAL):
        values = {}
        with open(os.path.join(self.store, "%08X" % serial, ".settings")) as source:
            for line in source:
                key, _, value = line.rstrip("\n").partition("=")
                values[key] = value
        return values
