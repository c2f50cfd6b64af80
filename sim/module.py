#!/usr/bin/env python3
"""A simulated Tolvarine module for tests, reachable over TCP and over a
pseudo-terminal that stands in for a serial port.

Layers, each replaceable on its own:

* ``Module``      device logic: a dispatch table keyed by command byte
                  (echo 23, the system entity's model query on command 3,
                  more to be registered by later stand-ins).
* ``Network``     what sits behind the host's link: the module the host
                  talks to first (answers synchronisation, route control,
                  heartbeats) and any modules reached through it by address.
* ``Channel``     one byte connection to the host (a TCP connection or the
                  pty master), with its own frame parser and fault switches.
* ``StandIn``     the event loop: listening socket, pty, channels, timers,
                  and the text control channel for tests.

Control channel (TCP on 127.0.0.1, one command per line, one reply line
beginning "ok" or "err"):

  ping                      ok
  packets                   ok HEX HEX ...   every wire packet received
  clear                     forget recorded packets, answers and routes
  answers                   ok V V ...       heartbeat answer values (2/3)
  routes                    ok V V ...       route-control values received
  syncs                     ok N             synchronisation requests seen
  connections               ok N             TCP connections accepted
  heartbeat V               send a heartbeat of value V (0 up, 1 down)
  heartbeat_every MS        send heartbeats every MS ms, alternating 0 and 1
                            (0 stops them)
  send HEX                  send the bytes HEX to the host as they are
  garbage HEX               same as send; meant for bytes that break framing
  drop N                    drop the next N bytes sent to the host
  corrupt N                 flip every bit of the next N bytes sent
  stall MS                  neither read nor answer for MS ms
  close                     close every TCP connection to the host
  refuse_sync 0|1           stop (1) or resume (0) answering 0xAD
  set address|model|serial N
  quit                      end the stand-in

Run ``python3 sim/module.py --help`` for the command line.
"""

from __future__ import annotations

import argparse
import json
import os
import selectors
import socket
import sys
import time
import tty
from dataclasses import dataclass, field
from typing import Callable, Iterable

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import tvwire  # type: ignore[no-redef]
else:
    from . import tvwire

Packet = tvwire.Packet
Handler = Callable[["Module", Packet], Iterable[Packet]]


# --------------------------------------------------------------------------
# Device logic


class Module:
    """One module on the packet protocol, known by its even module address."""

    def __init__(self, address: int = 2, model: int = 0x11, serial: int = 0x40F5849A) -> None:
        if address == 0 or address & 1:
            raise ValueError("a module address is even and non-zero")
        self.address = address
        self.model = model
        self.serial = serial
        self.handlers: dict[int, Handler] = {}
        # System entity options answered to a get (option code -> value).
        self.system_gets: dict[int, Callable[[], int]] = {
            tvwire.SYSTEM_OPTION_MODEL: lambda: self.model,
        }
        self.register(tvwire.CMD_ECHO, Module.on_echo)
        self.register(tvwire.CMD_SYSTEM, Module.on_system)

    def register(self, command: int, handler: Handler) -> None:
        """Installs (or replaces) the handler of one command byte."""
        self.handlers[command] = handler

    def handle(self, packet: Packet) -> list[Packet]:
        handler = self.handlers.get(packet.command) if packet.data else None
        return list(handler(self, packet)) if handler else []

    def reply(self, data: bytes) -> Packet:
        return Packet(self.address, data)

    # Built-in commands -----------------------------------------------------

    def on_echo(self, packet: Packet) -> Iterable[Packet]:
        yield self.reply(packet.data)

    def on_system(self, packet: Packet) -> Iterable[Packet]:
        if len(packet.data) < 3:
            return
        option, spec = packet.data[1], packet.data[2]
        code = option & tvwire.OPTION_MASK
        index = spec & tvwire.SPEC_INDEX_MASK
        if option & tvwire.OPTION_GET and not option & tvwire.OPTION_SET:
            getter = self.system_gets.get(code)
            if getter is not None:
                # A get is answered with the bare option code and the index.
                yield self.reply(bytes([tvwire.CMD_SYSTEM, code, index, getter() & 0xFF]))


class Network:
    """The module the host's link reaches first, and those behind it."""

    def __init__(self, front: Module) -> None:
        self.front = front
        self.modules: dict[int, Module] = {front.address: front}

    def add(self, module: Module) -> None:
        self.modules[module.address] = module

    def route(self, packet: Packet) -> list[Packet]:
        module = self.modules.get(packet.address)
        return module.handle(packet) if module else []


# --------------------------------------------------------------------------
# Connections to the host


@dataclass
class Faults:
    drop: int = 0          # outgoing bytes still to drop
    corrupt: int = 0       # outgoing bytes still to corrupt
    stall_until: float = 0.0
    refuse_sync: bool = False

    def stalled(self) -> bool:
        return time.monotonic() < self.stall_until

    def apply(self, data: bytes) -> bytes:
        out = bytearray()
        for byte in data:
            if self.drop > 0:
                self.drop -= 1
                continue
            if self.corrupt > 0:
                self.corrupt -= 1
                byte ^= 0xFF
            out.append(byte)
        return bytes(out)


class Channel:
    """One byte connection to the host."""

    kind = "channel"

    def __init__(self, faults: Faults) -> None:
        self.parser = tvwire.HostFrameParser()
        self.faults = faults
        self.pending = bytearray()  # held back while stalled

    def fileno(self) -> int:
        raise NotImplementedError

    def read(self) -> bytes | None:
        """Bytes from the host; b"" when the host went away, None for nothing yet."""
        raise NotImplementedError

    def write_raw(self, data: bytes) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def send(self, data: bytes, faulty: bool = True) -> None:
        if faulty:
            data = self.faults.apply(data)
        self.pending += data
        self.flush()

    def flush(self) -> None:
        if self.pending and not self.faults.stalled():
            data, self.pending = bytes(self.pending), bytearray()
            try:
                self.write_raw(data)
            except OSError:
                pass


class TcpChannel(Channel):
    kind = "tcp"

    def __init__(self, sock: socket.socket, faults: Faults) -> None:
        super().__init__(faults)
        self.sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def fileno(self) -> int:
        return self.sock.fileno()

    def read(self) -> bytes | None:
        try:
            return self.sock.recv(4096)
        except BlockingIOError:
            return None
        except OSError:
            return b""

    def write_raw(self, data: bytes) -> None:
        self.sock.sendall(data)

    def close(self) -> None:
        self.sock.close()


class PtyChannel(Channel):
    """The master side of a pseudo-terminal; the host opens the slave path."""

    kind = "pty"

    def __init__(self, faults: Faults) -> None:
        super().__init__(faults)
        self.master, self.slave = os.openpty()
        # Raw slave: no echo, no line discipline before the host sets its own.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)

    def fileno(self) -> int:
        return self.master

    def read(self) -> bytes | None:
        # The stand-in holds the slave open itself, so the pty never hangs up.
        try:
            return os.read(self.master, 4096) or None
        except OSError:
            return None

    def write_raw(self, data: bytes) -> None:
        while data:
            try:
                n = os.write(self.master, data)
            except BlockingIOError:
                time.sleep(0.001)
                continue
            data = data[n:]

    def close(self) -> None:
        os.close(self.master)
        os.close(self.slave)


# --------------------------------------------------------------------------
# The stand-in


@dataclass
class Record:
    packets: list[str] = field(default_factory=list)
    answers: list[int] = field(default_factory=list)
    routes: list[int] = field(default_factory=list)
    syncs: int = 0
    connections: int = 0


class StandIn:
    def __init__(self, network: Network, host: str = "127.0.0.1", tcp_port: int | None = 0,
                 pty: bool = False, log_path: str | None = None) -> None:
        self.network = network
        self.faults = Faults()
        self.record = Record()
        self.selector = selectors.DefaultSelector()
        self.channels: list[Channel] = []
        self.running = True
        self.heartbeat_every = 0.0
        self.next_heartbeat = 0.0
        self.heartbeat_value = 0
        self.log = open(log_path, "a", encoding="utf-8") if log_path else None
        self.listener: socket.socket | None = None
        if tcp_port is not None:
            self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.listener.bind((host, tcp_port))
            self.listener.listen(8)
            self.selector.register(self.listener, selectors.EVENT_READ, ("accept", None))
        self.pty: PtyChannel | None = None
        if pty:
            self.pty = PtyChannel(self.faults)
            self.add_channel(self.pty)
        self.control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.control.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.control.bind(("127.0.0.1", 0))
        self.control.listen(4)
        self.selector.register(self.control, selectors.EVENT_READ, ("control-accept", None))

    # Where tests find us ----------------------------------------------------

    def info(self) -> dict:
        out: dict = {"pid": os.getpid(), "control_port": self.control.getsockname()[1],
                     "address": self.network.front.address}
        if self.listener is not None:
            host, port = self.listener.getsockname()
            out.update(tcp_host=host, tcp_port=port)
        if self.pty is not None:
            out["pty"] = self.pty.path
        return out

    # Channels ---------------------------------------------------------------

    def add_channel(self, channel: Channel) -> None:
        self.channels.append(channel)
        self.selector.register(channel.fileno(), selectors.EVENT_READ, ("channel", channel))

    def drop_channel(self, channel: Channel) -> None:
        if channel in self.channels:
            self.channels.remove(channel)
            self.selector.unregister(channel.fileno())
            channel.close()

    def close_tcp(self) -> None:
        for channel in [c for c in self.channels if c.kind == "tcp"]:
            self.drop_channel(channel)

    def broadcast(self, packet: Packet) -> None:
        for channel in self.channels:
            channel.send(packet.encode())

    # Packets from the host ----------------------------------------------------

    def on_packet(self, channel: Channel, packet: Packet) -> None:
        self.record.packets.append(packet.hex())
        if self.log:
            self.log.write(json.dumps({"t": time.time(), "via": channel.kind, "packet": packet.hex()}) + "\n")
            self.log.flush()
        front = self.network.front
        if packet.address == tvwire.SYNC_ADDRESS and not packet.data:
            self.record.syncs += 1
            if not self.faults.refuse_sync:
                channel.send(Packet(front.address).encode())
            return
        if packet.address == tvwire.ROUTE_ADDRESS and len(packet.data) == 1:
            self.record.routes.append(packet.data[0])
            return
        if packet.address == front.address and tvwire.is_heartbeat_answer(packet):
            self.record.answers.append(packet.data[1])
            return
        for reply in self.network.route(packet):
            channel.send(reply.encode())

    def read_channel(self, channel: Channel) -> None:
        if self.faults.stalled():
            time.sleep(0.005)  # leave the bytes queued; do not spin on them
            return
        data = channel.read()
        if data is None:
            return
        if not data:
            self.drop_channel(channel)
            return
        for packet in channel.parser.feed(data):
            self.on_packet(channel, packet)

    # Control ------------------------------------------------------------------

    def command(self, line: str) -> str:
        words = line.split()
        if not words:
            return "err empty"
        name, args = words[0], words[1:]
        r = self.record
        try:
            if name == "ping":
                return "ok"
            if name == "packets":
                return " ".join(["ok"] + r.packets)
            if name == "clear":
                self.record = Record(connections=r.connections)
                return "ok"
            if name == "answers":
                return " ".join(["ok"] + [str(v) for v in r.answers])
            if name == "routes":
                return " ".join(["ok"] + [str(v) for v in r.routes])
            if name == "syncs":
                return f"ok {r.syncs}"
            if name == "connections":
                return f"ok {r.connections}"
            if name == "heartbeat":
                self.broadcast(tvwire.heartbeat(self.network.front.address, int(args[0])))
                return "ok"
            if name == "heartbeat_every":
                self.heartbeat_every = int(args[0]) / 1000.0
                self.next_heartbeat = time.monotonic() + self.heartbeat_every
                return "ok"
            if name in ("send", "garbage"):
                data = bytes.fromhex("".join(args))
                for channel in self.channels:
                    channel.send(data, faulty=False)
                return "ok"
            if name == "drop":
                self.faults.drop = int(args[0])
                return "ok"
            if name == "corrupt":
                self.faults.corrupt = int(args[0])
                return "ok"
            if name == "stall":
                self.faults.stall_until = time.monotonic() + int(args[0]) / 1000.0
                return "ok"
            if name == "close":
                self.close_tcp()
                return "ok"
            if name == "refuse_sync":
                self.faults.refuse_sync = args[0] not in ("0", "off", "false")
                return "ok"
            if name == "set":
                value = int(args[1], 0)
                front = self.network.front
                if args[0] == "address":
                    del self.network.modules[front.address]
                    front.address = value
                    self.network.modules[value] = front
                elif args[0] in ("model", "serial"):
                    setattr(front, args[0], value)
                else:
                    return "err unknown setting"
                return "ok"
            if name == "quit":
                self.running = False
                return "ok"
        except (IndexError, ValueError) as error:
            return f"err {error}"
        return "err unknown command"

    def read_control(self, conn: socket.socket, buffer: bytearray) -> None:
        data = conn.recv(4096)
        if not data:
            self.selector.unregister(conn)
            conn.close()
            return
        buffer += data
        while b"\n" in buffer:
            line, _, rest = bytes(buffer).partition(b"\n")
            buffer[:] = rest
            conn.sendall((self.command(line.decode("ascii", "replace")) + "\n").encode())

    # Loop ---------------------------------------------------------------------

    def tick(self) -> None:
        now = time.monotonic()
        if self.heartbeat_every and now >= self.next_heartbeat:
            self.broadcast(tvwire.heartbeat(self.network.front.address, self.heartbeat_value))
            self.heartbeat_value ^= 1
            self.next_heartbeat = now + self.heartbeat_every
        for channel in self.channels:
            channel.flush()

    def serve(self) -> None:
        while self.running:
            timeout = 0.02 if (self.heartbeat_every or self.faults.stalled()) else 0.5
            for key, _ in self.selector.select(timeout):
                kind, obj = key.data
                if kind == "accept":
                    conn, _ = self.listener.accept()  # type: ignore[union-attr]
                    self.record.connections += 1
                    self.add_channel(TcpChannel(conn, self.faults))
                elif kind == "control-accept":
                    conn, _ = self.control.accept()
                    self.selector.register(conn, selectors.EVENT_READ, ("control", (conn, bytearray())))
                elif kind == "control":
                    self.read_control(*obj)
                elif kind == "channel":
                    self.read_channel(obj)
            self.tick()
        for channel in list(self.channels):
            self.drop_channel(channel)


class Control:
    """Test-side client of the control channel."""

    def __init__(self, port: int, host: str = "127.0.0.1") -> None:
        self.sock = socket.create_connection((host, port), timeout=10)
        self.file = self.sock.makefile("rw", encoding="ascii", newline="\n")

    def __call__(self, *words: object) -> list[str]:
        self.file.write(" ".join(str(w) for w in words) + "\n")
        self.file.flush()
        reply = self.file.readline().split()
        if not reply or reply[0] != "ok":
            raise RuntimeError("stand-in refused: " + " ".join(reply))
        return reply[1:]

    def close(self) -> None:
        self.file.close()
        self.sock.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Simulated Tolvarine module over TCP and/or a pseudo-terminal, with a "
                    "text control channel for tests. With neither --tcp nor --pty, --tcp is assumed.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tcp", action="store_true", help="listen for the host over TCP")
    parser.add_argument("--host", default="127.0.0.1", help="TCP address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="TCP port (default: one the system picks)")
    parser.add_argument("--pty", action="store_true", help="offer a pseudo-terminal as a serial device")
    parser.add_argument("--address", type=lambda s: int(s, 0), default=2, help="module address (even, default 2)")
    parser.add_argument("--model", type=lambda s: int(s, 0), default=0x11, help="model number (default 0x11)")
    parser.add_argument("--serial", type=lambda s: int(s, 0), default=0x40F5849A, help="serial number")
    parser.add_argument("--heartbeat-ms", type=int, default=0,
                        help="send heartbeats every N ms, alternating up and down (default: none)")
    parser.add_argument("--info", metavar="FILE",
                        help="write where to reach the stand-in as JSON to FILE (tcp_host, tcp_port, pty, "
                             "control_port, pid); it is also printed as one line on standard output")
    parser.add_argument("--log", metavar="FILE", help="append every received packet to FILE as JSON lines")
    args = parser.parse_args(argv)
    if not args.tcp and not args.pty:
        args.tcp = True
    network = Network(Module(args.address, args.model, args.serial))
    standin = StandIn(network, args.host, args.port if args.tcp else None, args.pty, args.log)
    if args.heartbeat_ms:
        standin.command(f"heartbeat_every {args.heartbeat_ms}")
    info = standin.info()
    if args.info:
        tmp = args.info + ".tmp"
        with open(tmp, "w", encoding="utf-8") as handle:
            json.dump(info, handle)
        os.replace(tmp, args.info)
    print("TV-MODULE " + json.dumps(info), flush=True)
    try:
        standin.serve()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
