"""Test-side tools: start a stand-in process, talk to it over its TCP port
packet by packet (requests encoded here from the wire format), and drive
its control channel."""
import json
import os
import socket
import subprocess
import sys
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
MODULE = os.path.join(ROOT, "sim", "module.py")
FLEET = os.path.join(ROOT, "sim", "fleet.py")


class Control:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rw", encoding="ascii", newline="\n")

    def raw(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        return self.file.readline().strip()

    def __call__(self, *words):
        reply = self.raw(" ".join(str(w) for w in words)).split()
        if not reply or reply[0] != "ok":
            raise AssertionError("stand-in refused %r: %s" % (words, " ".join(reply)))
        return reply[1:]

    def close(self):
        self.file.close()
        self.sock.close()


class Link:
    """One TCP connection to the stand-in, as the host's link sees it."""

    def __init__(self, port, host="127.0.0.1", attempts=1):
        for attempt in range(attempts):
            try:
                self.sock = socket.create_connection((host, port), timeout=2)
                break
            except OSError:
                if attempt == attempts - 1:
                    raise
                time.sleep(0.05)
        self.buffer = bytearray()
        self.queue = []

    def close(self):
        self.sock.close()

    def send(self, address, data=b""):
        data = bytes(data)
        self.sock.sendall(bytes([address, len(data)]) + data)

    def send_raw(self, wire):
        self.sock.sendall(bytes(wire))

    def _fill(self, deadline):
        self.sock.settimeout(max(0.001, deadline - time.monotonic()))
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return True
        if not chunk:
            return False
        self.buffer += chunk
        while len(self.buffer) >= 2 and len(self.buffer) >= 2 + self.buffer[1]:
            length = self.buffer[1]
            self.queue.append((self.buffer[0], bytes(self.buffer[2:2 + length])))
            del self.buffer[:2 + length]
        return True

    def receive(self, match=None, timeout=1.0):
        """The first (address, data) that `match` accepts, taken from the queue; None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            for n, packet in enumerate(self.queue):
                if match is None or match(*packet):
                    del self.queue[n]
                    return packet
            if time.monotonic() >= deadline or not self._fill(deadline):
                return None

    def closed(self, timeout=2.0):
        """True once the stand-in has closed this connection."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self._fill(deadline):
                return True
        return False

    def ask(self, address, data, prefix=None, timeout=1.0):
        """Sends a request; the data of the first reply from `address` starting with `prefix`
        (default: the request's first two bytes, or its command for short requests)."""
        data = bytes(data)
        prefix = bytes(data[:1]) if prefix is None else bytes(prefix)
        self.send(address, data)
        reply = self.receive(lambda a, d: a == address and d.startswith(prefix), timeout)
        return None if reply is None else reply[1]


class StandIn:
    """A stand-in process started with module.py's command line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, MODULE, *[str(a) for a in args]],
                                     stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        line = self.proc.stdout.readline()
        if not line.startswith("TV-MODULE "):
            self.proc.kill()
            raise RuntimeError("stand-in did not start: %r" % line)
        self.info = json.loads(line.split(" ", 1)[1])
        self.control = Control(self.info["control_port"])
        self.links = []

    @property
    def port(self):
        return self.info["tcp_port"]

    def link(self, attempts=1):
        link = Link(self.port, attempts=attempts)
        self.links.append(link)
        return link

    def close(self):
        for link in self.links:
            link.close()
        self.control.close()
        self.proc.terminate()
        self.proc.wait(5)
        self.proc.stdout.close()


class StandInCase(unittest.TestCase):
    """One fresh stand-in and one link per test."""

    ARGS = ()

    def setUp(self):
        self.standin = StandIn(*self.ARGS)
        self.addCleanup(self.standin.close)
        self.ctl = self.standin.control
        self.link = self.standin.link()

    def ask(self, data, address=2, prefix=None, timeout=1.0):
        reply = self.link.ask(address, data, prefix, timeout)
        self.assertIsNotNone(reply, "no reply to %s" % bytes(data).hex())
        return reply

    def silent(self, data, address=2, timeout=0.3):
        self.link.send(address, data)
        return self.link.receive(lambda a, d: a == address, timeout) is None


def be(value, width):
    return value.to_bytes(width, "big")


def block_set(command, option, payload, index=0):
    """The packets of a byte-block set, [command, option|0x80, index|0x20, chunk, sequence]."""
    chunks = [payload[i:i + 24] for i in range(0, len(payload), 24)] or [b""]
    return [bytes([command, option | 0x80, index | 0x20]) + c + bytes([(0x80 if n < len(chunks) - 1 else 0) | n % 128])
            for n, c in enumerate(chunks)]
