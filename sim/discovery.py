#!/usr/bin/env python3
"""Discovery answerers for tests (standard library only).

* ``TcpipResponder``   what a TCP/IP module does: joins 232.2.2.2 on one
                       interface, and answers each 16-byte request (byte 0 = 1)
                       arriving on UDP 9888 with its 16-byte record, sent to
                       the requester's address on UDP 9889:
                         byte 1      module address
                         bytes 2..3  TCP port, little-endian
                         bytes 4..7  serial number, little-endian
                         byte 12     model
                       every other byte 0.
* ``MulticastServer``  the discovery side of a sharing server in multicast
                       mode: holds the first free port 9850+j of group
                       224.0.0.7 on 127.0.0.1 (address reuse off) and answers
                       the 4-byte magic 0xABCDDCBA (host byte order) with a
                       128-byte link record sent to 224.0.0.7:9950+j.
* ``BeaconServer``     the same in beacon mode: listens for UDP broadcasts on
                       port 8585 and, on the 20-byte payload
                       "Tolvarine2-Discovery", broadcasts its 128-byte record
                       every 100 ms for 2 s, the way a czmq beacon publishes
                       (czmq beacons carry the bare payload, no header).

The 128-byte record: 32-bit fields in host byte order, type 4 at offset 0,
serial number at 4, model at 20, IPv4 address (network byte order) at 24, TCP
port at 28, every other byte 0.

Never run outside the tests' private network namespace (scripts/netns): the
beacon answerer broadcasts.

Command line (each prints "TV-DISCOVERY {json}" once it is ready, then serves
until killed):
  discovery.py tcpip --serial S --port P [--address A] [--model M] [--host H]
               [--iface I]
  discovery.py multicast --serial S --port P [--model M] [--ip A]
  discovery.py beacon --serial S --port P [--model M] [--ip A] --iface I
               [--broadcast B] [--always]
"""

from __future__ import annotations

import argparse
import json
import select
import socket
import struct
import sys
import threading
import time
from typing import Callable

TCPIP_GROUP = "232.2.2.2"
TCPIP_REQUEST_PORT = 9888
TCPIP_REPLY_PORT = 9889

ETHER_GROUP = "224.0.0.7"
ETHER_REQUEST_PORT = 9850
ETHER_REPLY_PORT = 9950
ETHER_PORTS = 50
ETHER_MAGIC = struct.pack("=I", 0xABCDDCBA)

BEACON_PORT = 8585
BEACON_PAYLOAD = b"Tolvarine2-Discovery"
BEACON_INTERVAL = 0.1
BEACON_SPAN = 2.0

LINK_TYPE_CLIENT = 4

# (module address, TCP port, serial number, model), read at every answer so
# that a stand-in whose identity changes answers with the new one; None while
# the module is away (rebooting).
Identity = Callable[[], "tuple[int, int, int, int] | None"]


def tcpip_reply(address: int, port: int, serial: int, model: int) -> bytes:
    record = bytearray(16)
    record[1] = address & 0xFF
    record[2:4] = struct.pack("<H", port & 0xFFFF)
    record[4:8] = struct.pack("<I", serial & 0xFFFFFFFF)
    record[12] = model & 0xFF
    return bytes(record)


def link_record(serial: int, model: int, ip: str, port: int) -> bytes:
    record = bytearray(128)
    struct.pack_into("=II", record, 0, LINK_TYPE_CLIENT, serial & 0xFFFFFFFF)
    struct.pack_into("=I", record, 20, model & 0xFF)
    record[24:28] = socket.inet_aton(ip)
    struct.pack_into("=I", record, 28, port & 0xFFFF)
    return bytes(record)


class _Worker:
    """A socket served on a daemon thread until ``close``."""

    def __init__(self) -> None:
        self.running = True
        self.thread: threading.Thread | None = None
        self.answers = 0

    def start(self) -> "_Worker":
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def close(self) -> None:
        self.running = False
        if self.thread is not None:
            self.thread.join(timeout=2)

    def _serve(self) -> None:  # pragma: no cover - overridden
        raise NotImplementedError


class TcpipResponder(_Worker):
    def __init__(self, identity: Identity, host: str = "0.0.0.0", iface: str | None = None) -> None:
        super().__init__()
        self.identity = identity
        iface = iface or (host if host not in ("", "0.0.0.0") and not host.startswith("127.") else "198.18.0.1")
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("", TCPIP_REQUEST_PORT))
        membership = socket.inet_aton(TCPIP_GROUP) + socket.inet_aton(iface)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        # Replies leave from the stand-in's own address, which is what the
        # requester records as the module's IP address.
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.bind((host if host else "0.0.0.0", 0))

    def _serve(self) -> None:
        while self.running:
            ready, _, _ = select.select([self.sock], [], [], 0.2)
            if not ready:
                continue
            data, (source, _) = self.sock.recvfrom(64)
            if len(data) != 16 or data[0] != 1:
                continue
            identity = self.identity()
            if identity is None:
                continue  # the module is rebooting: nobody answers
            self.out.sendto(tcpip_reply(*identity), (source, TCPIP_REPLY_PORT))
            self.answers += 1
        self.sock.close()
        self.out.close()


class MulticastServer(_Worker):
    def __init__(self, record: bytes, offset: int | None = None) -> None:
        super().__init__()
        self.record = record
        self.sock: socket.socket | None = None
        offsets = [offset] if offset is not None else range(ETHER_PORTS)
        for j in offsets:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)
            try:
                sock.bind(("", ETHER_REQUEST_PORT + j))
            except OSError:
                sock.close()
                continue
            self.sock, self.offset = sock, j
            break
        if self.sock is None:
            raise OSError("no free discovery port")
        loopback = socket.inet_aton("127.0.0.1")
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(ETHER_GROUP) + loopback)
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, loopback)
        self.out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        self.out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)

    def _serve(self) -> None:
        assert self.sock is not None
        while self.running:
            ready, _, _ = select.select([self.sock], [], [], 0.2)
            if not ready:
                continue
            data = self.sock.recv(4)
            if data == ETHER_MAGIC:
                self.out.sendto(self.record, (ETHER_GROUP, ETHER_REPLY_PORT + self.offset))
                self.answers += 1
        self.sock.close()
        self.out.close()


def _broadcast_of(iface: str) -> str:
    """The /24 broadcast address of the interface (the test network's)."""
    parts = iface.split(".")
    return ".".join(parts[:3] + ["255"])


class BeaconServer(_Worker):
    def __init__(self, record: bytes, iface: str, broadcast: str | None = None, always: bool = False) -> None:
        super().__init__()
        self.record = record
        self.always = always
        self.broadcast = broadcast or _broadcast_of(iface)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.sock.bind(("", BEACON_PORT))
        self.publish_until = float("inf") if always else 0.0
        self.next_publish = 0.0

    def _serve(self) -> None:
        while self.running:
            now = time.monotonic()
            if now < self.publish_until and now >= self.next_publish:
                self.sock.sendto(self.record, (self.broadcast, BEACON_PORT))
                self.answers += 1
                self.next_publish = now + BEACON_INTERVAL
            ready, _, _ = select.select([self.sock], [], [], 0.02)
            if not ready:
                continue
            data = self.sock.recv(512)
            if data.startswith(BEACON_PAYLOAD) and not self.always and now >= self.publish_until:
                self.publish_until = now + BEACON_SPAN
                self.next_publish = now
        self.sock.close()


def start_tcpip_responder(identity: Identity, host: str = "0.0.0.0", iface: str | None = None) -> TcpipResponder:
    """Hook for a stand-in: answers TCP/IP discovery with ``identity()``."""
    responder = TcpipResponder(identity, host, iface)
    responder.start()
    return responder


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["tcpip", "multicast", "beacon"])
    parser.add_argument("--serial", type=lambda s: int(s, 0), required=True)
    parser.add_argument("--port", type=int, required=True, help="TCP port announced")
    parser.add_argument("--address", type=lambda s: int(s, 0), default=2, help="module address (tcpip)")
    parser.add_argument("--model", type=lambda s: int(s, 0), default=0x11)
    parser.add_argument("--host", default="0.0.0.0", help="address the TCP/IP replies leave from")
    parser.add_argument("--iface", help="interface address: group membership (tcpip), broadcasts (beacon)")
    parser.add_argument("--ip", default="127.0.0.1", help="IPv4 address in the link record")
    parser.add_argument("--offset", type=int, help="discovery port offset (multicast; default: first free)")
    parser.add_argument("--broadcast", help="broadcast address (beacon; default: the interface's /24)")
    parser.add_argument("--always", action="store_true", help="beacon: publish all the time, unasked")
    args = parser.parse_args(argv)
    info: dict = {"mode": args.mode}
    worker: _Worker
    if args.mode == "tcpip":
        worker = TcpipResponder(lambda: (args.address, args.port, args.serial, args.model), args.host, args.iface)
    elif args.mode == "multicast":
        worker = MulticastServer(link_record(args.serial, args.model, args.ip, args.port), args.offset)
        info["offset"] = worker.offset  # type: ignore[attr-defined]
    else:
        if not args.iface:
            parser.error("beacon needs --iface")
        worker = BeaconServer(link_record(args.serial, args.model, args.ip, args.port), args.iface,
                              args.broadcast, args.always)
    worker.start()
    print("TV-DISCOVERY " + json.dumps(info), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    worker.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
