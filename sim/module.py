#!/usr/bin/env python3
"""A simulated Tolvarine module for tests, reachable over TCP and over a
pseudo-terminal that stands in for a serial port; optionally a router with
further simulated modules behind it on its I2C module network.

Layers, each in its own file:

* device.py        ``Module`` (identity, entities by command byte) and
                   ``Network`` (the front module and the modules behind it).
* system_entity.py command 3: serial, model, version, build, name, addresses,
                   readings and settings; module_info.py command 0x49;
                   store_slots.py command 4; factory_data.py command 0x5E;
                   i2c_entity.py command 8; streams.py command 0x5D and stream
                   samples; upgrade.py + loader.py command 0x5F; echo is 23.
* channels.py      one byte connection to the host (TCP or the pty master).
* module.py        the event loop: listener, pty, timers, link drops after
                   LOAD and REBOOT, the control channel (control.py), CLI.

What it answers: synchronisation (0xAD) with the front module's address,
route control (0xAF) and heartbeat answers are recorded; every other packet
goes to the module at its address (the front module or one behind it). A
UEI request for a command the module lacks gets an error reply with code 28.

Control channel (TCP on 127.0.0.1, the port is in the info record; one
command per line, one reply line "ok ..." or "err REASON"). Prefix any
command with "at ADDR" to act on the module at ADDR (behind the router).

 Recording
  ping                      ok
  packets                   ok HEX HEX ...   every wire packet received
  clear                     forget recorded packets, answers, routes, events
  answers                   ok V V ...       heartbeat answer values (2/3)
  routes                    ok V V ...       route-control values received
  syncs                     ok N             synchronisation requests seen
  connections               ok N             TCP connections accepted
  listening                 ok 0|1           whether the TCP listener is open (it
                            closes when the link drops after LOAD or REBOOT)
  events                    ok E E ...       link drops and returns, as
                            load@ADDR, reboot@ADDR, reset@ADDR, back@ADDR
 Link-level faults and raw bytes
  heartbeat V               send a heartbeat of value V (0 up, 1 down)
  heartbeat_every MS        heartbeats every MS ms, alternating 0 and 1 (0 stops)
  send HEX | garbage HEX    send the bytes HEX to the host as they are
  drop N                    drop the next N bytes sent to the host
  corrupt N                 flip every bit of the next N bytes sent
  stall MS                  neither read nor answer for MS ms
  close                     close every TCP connection to the host
  refuse_sync 0|1           stop (1) or resume (0) answering 0xAD
  quit                      end the stand-in
 Identity and settings
  set address|model|serial|build|router N
  set version V             V = 2.11.4 (packed legacy), 2.15.0 (current),
                            2.11.4/current, 3.0.1/legacy or a word 0x2B000004
  set name TEXT...          the device name (set name_hex HEX for raw bytes)
  set fingerprint W0 W1 W2 W3
                            the chip's unique identifier, the words that
                            system option 39 gives for subindex 0 to 3
  set SETTING N|HEX         any reading or setting of the system entity by
                            name, e.g. set temperature -5000000, set led 1,
                            set errors 4, set input_power_behavior_config HEX
  option NAME|CODE          ok VALUE   what a get of that system option answers
                            (bytes options in hex)
  identity                  ok address=A serial=0x... model=M version=0x...
                            version_text=X.Y.Z build=B router=R name=HEX online=0|1
  modules                   ok ADDR:SERIAL:MODEL ...  every module of the network
  route_to_me               ok V   the last routeToMe value set (0 at start)
  calls                     ok NAME ...  call options received (save, reset, ...)
 Streams, store slots, factory data, I2C
  streams                   ok KEY ...  enabled stream keys (8 hex digits:
                            module, command, option, index; FF = any)
  stream_requests           ok enable:KEY disable:KEY ...  in order
  sample KIND CMD OPT IDX VALUE [SUBINDEX [TIMESTAMP]]
                            send one stream sample (KIND 1-3, 5-7) from the
                            module, subscribed or not; TIMESTAMP defaults to
                            microseconds of the monotonic clock
  sample 4 CMD OPT IDX HEX  send a byte block as stream packets; ok N packets
  stream_every MS           every MS ms (0 stops), one sample of each enabled
                            stream without wildcards: system options send
                            their value (kind 1 for 8-bit, 3 for 32-bit),
                            others a running count (kind 3)
  slot STORE SLOT           ok HEX   a store slot's bytes ("-" when empty)
  set_slot STORE SLOT HEX   fill a slot (stores 0: 12 slots of 4096 bytes,
                            1: 1 slot of 8192, 2: 64 slots of 65535)
  factory SEL               ok HEX   factory data record SEL (0-15)
  set_factory SEL HEX       replace factory data record SEL
  i2c_writes                ok ADDR:HEX ...  I2C writes that were acknowledged
 Reply faults (COUNT: number of requests, default 1, or "always")
  fault silent CMD[/OPT] [COUNT]        no reply at all
  fault error CMD[/OPT] CODE [COUNT]    an error reply carrying CODE, in the
                                        command's own error form
  fault length CMD[/OPT] N [COUNT]      replies cut or zero-padded to N data bytes
  fault clear                           end all reply faults;  faults: list them
                            OPT is the option code (low 6 bits) for UEI
                            commands, data byte 1 for 0x49, 0x5F, 4, 8, 0x5E
 Firmware upgrade (command 0x5F)
  uei_data 0|1              the option 10 byte-array data path (hasUEI answers 0)
  pooled 0|1                bit 31 of the protocol features (system option 45)
  block_size N              block size that PREPARE announces (default 256)
  load_base N               load base that INIT answers (default 0x10000000)
  flash_range START SIZE | flash_range any
                            where firmware blocks may be prepared once the
                            loader runs (default 0 .. 0x10000000); every
                            PREPARE address must be word aligned
  down_ms N                 how long the module is away after LOAD, REBOOT
                            or reset (default 300 ms)
  reboot_down_ms N          how long the module is away after REBOOT (0, the
                            default: down_ms)
  load_drops 0|1            whether LOAD drops the link (default 1); with 0
                            the loader starts in place on the same connection
  loader_fault wrong_count [N]      N DATA acknowledgements one byte short
  loader_fault wrong_sum [N]        N SUM replies off by one
  loader_fault refuse_prepare [N]   N PREPAREs answered with status 1
  loader_fault refuse_write [N]     N WRITEs answered with status 1
  loader_fault silent OP            no reply to OP (init data load prepare sum
                                    write reboot, or its number); reply OP undoes it
  loader_fault block_size_zero 0|1  PREPARE announces block size 0
  loader_fault no_return_after_load 0|1   after LOAD the link drops for good
                                          (come_back brings the module back)
  loader_fault reboot_keeps_link 0|1      REBOOT restarts without dropping the link
  loader_fault load_resets 0|1      the loader starts in place after LOAD, resets
                                    every TCP connection (RST) down_ms later and
                                    accepts a new one at once
  loader_fault reboot_keeps_build 0|1     the module comes back from REBOOT
                                          running its old firmware
  loader_fault no_return_after_reboot 0|1 after REBOOT the module stays away
                                          (come_back brings it back)
  loader_fault short_init 0|1       INIT answers only one byte of load base
  loader_fault clear
  loader_running 0|1        (1) the loader runs already, as a live loader
                            started from RAM does: firmware blocks go to
                            flash without a LOAD first
  loader_state              ok firmware|loader reboots=N boots=N online=0|1
  prepared                  ok FLAGS:0xADDR ...   every PREPARE received
  writes                    ok 0xADDR:COUNT ...   every WRITE taken
  flash                     ok 0xADDR:LEN ...     firmware blocks in flash
  loader_blocks             ok 0xADDR:LEN ...     loader blocks received
  flash_dump PATH           write the flash, from its lowest address, gaps
                            0xFF, to PATH; ok 0xBASE LENGTH
  loader_dump PATH          the same for the loader blocks
  next_firmware BUILD X.Y.Z identity after the next reboot when the written
                            firmware carries no identity record
  reboot                    drop the link and come back (as a reset)
  come_back                 bring a module back now

After LOAD the front module confirms, drops every connection and closes its
TCP listener, and reopens it on the same port after down_ms; REBOOT does the
same without a reply and the module comes back running the new firmware:
version and build come from the 64-byte identity record (the package's INFO
layout) found in the flash written (sim/birdfile.py "embed_info" puts one
there). A module behind the router starts its loader in place (its link is
the router's and stays up) and is away only while rebooting. While away, a
module does not answer discovery.

Command line (every option also has a key in a --config description, see
sim/description.py; command-line options win):

  module.py [--tcp] [--host H] [--port P] [--pty] [--config JSON|FILE]
            [--address A] [--serial S] [--model M] [--version V] [--build B]
            [--name TEXT] [--label TEXT]
            [--behind ADDR,SERIAL,MODEL[,VERSION[,BUILD[,NAME]]]]...
            [--uei-data] [--pooled] [--block-size N] [--load-base N]
            [--down-ms N] [--load-keeps-link] [--heartbeat-ms N]
            [--discovery] [--log FILE] [--info FILE]

Once listening it prints one line "TV-MODULE {json}" (and writes the JSON
to --info FILE): pid, control_port, address, serial, model, behind (list of
{address, serial, model}), label, tcp_host and tcp_port (with TCP), pty
(the slave path, with --pty). Defaults: address 2, serial 0x40F5849A,
model 0x11, version 2.11.4, build 1100, name "Tolvarine module".
"""

from __future__ import annotations

import argparse
import heapq
import itertools
import json
import os
import selectors
import socket
import struct
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import channels  # type: ignore[no-redef]
    import control  # type: ignore[no-redef]
    import description  # type: ignore[no-redef]
    import device  # type: ignore[no-redef]
    import streams  # type: ignore[no-redef]
    import tvwire  # type: ignore[no-redef]
else:
    from . import channels, control, description, device, streams, tvwire

Packet = tvwire.Packet
Module = device.Module
Network = device.Network
Faults = channels.Faults
Channel = channels.Channel
TcpChannel = channels.TcpChannel
PtyChannel = channels.PtyChannel

DROP_AFTER = 0.05  # lets the reply that announced a drop reach the host first


@dataclass
class Record:
    packets: list[str] = field(default_factory=list)
    answers: list[int] = field(default_factory=list)
    routes: list[int] = field(default_factory=list)
    events: list[str] = field(default_factory=list)
    syncs: int = 0
    connections: int = 0


class StandIn:
    def __init__(self, network: Network, host: str = "127.0.0.1", tcp_port: int | None = 0,
                 pty: bool = False, log_path: str | None = None, down_ms: int = 300,
                 label: str | None = None) -> None:
        self.network = network
        self.faults = Faults()
        self.record = Record()
        self.selector = selectors.DefaultSelector()
        self.channels: list[Channel] = []
        self.running = True
        self.heartbeat_every = 0.0
        self.next_heartbeat = 0.0
        self.heartbeat_value = 0
        self.stream_every = 0.0     # seconds between samples of the enabled streams
        self.next_stream = 0.0
        self.down_ms = down_ms
        self.reboot_down_ms = 0     # time away after REBOOT; 0: down_ms
        self.load_drops = True      # LOAD drops the link, as a USB module re-enumerates
        self.label = label
        self.timers: list[tuple[float, int, Callable[[], None]]] = []
        self._timer_ids = itertools.count()
        self.log = open(log_path, "a", encoding="utf-8") if log_path else None
        self.host = host
        self.tcp_port = tcp_port
        self.listener: socket.socket | None = None
        if tcp_port is not None:
            self.open_listener()
        self.pty: PtyChannel | None = None
        if pty:
            self.pty = PtyChannel(self.faults)
            self.add_channel(self.pty)
        self.control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.control.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.control.bind(("127.0.0.1", 0))
        self.control.listen(4)
        self.selector.register(self.control, selectors.EVENT_READ, ("control-accept", None))
        for module in network.modules.values():
            module.on_drop = self.on_drop
        self.discovery = None

    # Where tests find us ----------------------------------------------------

    def info(self) -> dict:
        front = self.network.front
        out: dict = {"pid": os.getpid(), "control_port": self.control.getsockname()[1],
                     "address": front.address, "serial": front.serial, "model": front.model,
                     "behind": [{"address": m.address, "serial": m.serial, "model": m.model}
                                for m in self.network.behind()]}
        if self.label is not None:
            out["label"] = self.label
        if self.tcp_port is not None:
            out.update(tcp_host=self.host, tcp_port=self.tcp_port)
        if self.pty is not None:
            out["pty"] = self.pty.path
        return out

    def identity(self):
        """What discovery announces; None while the module is away."""
        front = self.network.front
        if not front.online or self.listener is None:
            return None
        return front.address, self.tcp_port or 0, front.serial, front.model

    # Listener and channels --------------------------------------------------

    def open_listener(self) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((self.host, self.tcp_port or 0))
        sock.listen(8)
        self.tcp_port = sock.getsockname()[1]
        self.listener = sock
        self.selector.register(sock, selectors.EVENT_READ, ("accept", None))

    def close_listener(self) -> None:
        if self.listener is not None:
            self.selector.unregister(self.listener)
            self.listener.close()
            self.listener = None

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

    def clear_record(self) -> None:
        self.record = Record(connections=self.record.connections)

    # Timers -------------------------------------------------------------------

    def after(self, seconds: float, action: Callable[[], None]) -> None:
        heapq.heappush(self.timers, (time.monotonic() + seconds, next(self._timer_ids), action))

    def run_timers(self) -> None:
        while self.timers and self.timers[0][0] <= time.monotonic():
            _, _, action = heapq.heappop(self.timers)
            action()

    # Modules going away and coming back ----------------------------------------

    def on_drop(self, module: Module, comes_back: bool, reason: str) -> None:
        self.record.events.append(f"{reason}@{module.address}")
        if module is self.network.front:
            # A module on its way off the bus answers nothing more, even in
            # the moment before its link drops.
            resets = reason == "load" and module.loader.faults.load_resets
            if (reason != "load" or self.load_drops) and not resets:
                module.online = False
            self.after(DROP_AFTER, lambda: self.take_down(module, comes_back, reason))
        else:
            self.take_down(module, comes_back, reason)  # the router's link stays; no reply to wait for

    def reset_tcp(self) -> None:
        """Resets every TCP connection (RST, not FIN); the listener stays."""
        for channel in [c for c in self.channels if c.kind == "tcp"]:
            channel.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.drop_channel(channel)

    def take_down(self, module: Module, comes_back: bool, reason: str) -> None:
        if module is self.network.front:
            if reason == "load" and module.loader.faults.load_resets:
                # The loader starts in place, then resets the connection.
                self.after(max(0.0, self.down_ms / 1000.0 - DROP_AFTER), self.reset_tcp)
                return
            if reason == "load" and not self.load_drops:
                return  # the loader starts in place and keeps the link
            module.online = False
            # Listener first: a host that sees its connection close and dials
            # again at once must be refused, not parked in the backlog.
            self.close_listener()
            self.close_tcp()
            if self.pty is not None:
                self.pty.down = True
        elif reason == "load":
            return  # on the module network the loader starts in place
        else:
            module.online = False
        if comes_back:
            away = self.reboot_down_ms if reason == "reboot" and self.reboot_down_ms else self.down_ms
            self.after(away / 1000.0, lambda: self.bring_back(module))

    def bring_back(self, module: Module) -> None:
        if module.online:
            return
        if module is self.network.front:
            if self.tcp_port is not None and self.listener is None:
                try:
                    self.open_listener()
                except OSError:
                    self.after(0.1, lambda: self.bring_back(module))  # port still held
                    return
            if self.pty is not None:
                self.pty.down = False
                self.pty.parser = tvwire.HostFrameParser()
        module.come_back()
        self.record.events.append(f"back@{module.address}")

    # Packets from the host ----------------------------------------------------

    def on_packet(self, channel: Channel, packet: Packet) -> None:
        self.record.packets.append(packet.hex())
        if self.log:
            self.log.write(json.dumps({"t": time.time(), "via": channel.kind, "packet": packet.hex()}) + "\n")
            self.log.flush()
        front = self.network.front
        if packet.address == tvwire.SYNC_ADDRESS and not packet.data:
            self.record.syncs += 1
            if not self.faults.refuse_sync and front.online:
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
        if channel.down:
            return  # the module is away; what the host sends is lost
        for packet in channel.parser.feed(data):
            self.on_packet(channel, packet)

    # Control ------------------------------------------------------------------

    def command(self, line: str) -> str:
        return control.run(self, line)

    def read_control(self, conn: socket.socket, buffer: bytearray) -> None:
        try:
            data = conn.recv(4096)
        except OSError:
            data = b""
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
            if self.network.front.online:
                self.broadcast(tvwire.heartbeat(self.network.front.address, self.heartbeat_value))
                self.heartbeat_value ^= 1
            self.next_heartbeat = now + self.heartbeat_every
        if self.stream_every and now >= self.next_stream:
            for module in self.network.modules.values():
                if module.online:
                    for data in streams.current_samples(module):
                        self.broadcast(Packet(module.address, data))
            self.next_stream = now + self.stream_every
        self.run_timers()
        for channel in self.channels:
            channel.flush()

    def timeout(self) -> float:
        busy = self.heartbeat_every or self.stream_every or self.faults.stalled()
        timeout = 0.02 if busy else 0.5
        if self.heartbeat_every:  # heartbeats on time, however short their interval
            timeout = min(timeout, max(0.0, self.next_heartbeat - time.monotonic()))
        if self.timers:
            timeout = min(timeout, max(0.0, self.timers[0][0] - time.monotonic()))
        return timeout

    def serve(self) -> None:
        while self.running:
            for key, _ in self.selector.select(self.timeout()):
                kind, obj = key.data
                if kind == "accept" and self.listener is not None:
                    conn, _ = self.listener.accept()
                    self.record.connections += 1
                    self.add_channel(TcpChannel(conn, self.faults))
                elif kind == "control-accept":
                    conn, _ = self.control.accept()
                    self.selector.register(conn, selectors.EVENT_READ, ("control", (conn, bytearray())))
                elif kind == "control":
                    self.read_control(*obj)
                elif kind == "channel" and obj in self.channels:
                    self.read_channel(obj)
            self.tick()
        for channel in list(self.channels):
            self.drop_channel(channel)
        if self.discovery is not None:
            self.discovery.close()


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


# --- TCP/IP discovery hook: the responder itself lives in sim/discovery.py ---
def _start_discovery(standin: StandIn) -> None:
    if __package__ in (None, ""):
        import discovery  # type: ignore[import-not-found]
    else:
        from . import discovery
    host = standin.host if standin.tcp_port is not None else "0.0.0.0"
    standin.discovery = discovery.start_tcpip_responder(standin.identity, host)
# --- end of the discovery hook ---


def _number(text: str) -> int:
    return int(text, 0)


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Simulated Tolvarine module over TCP and/or a pseudo-terminal, with a "
                    "text control channel for tests. With neither --tcp nor --pty, --tcp is assumed. "
                    "Options given on the command line override those of --config.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config", metavar="JSON|FILE",
                        help="a stand-in description (inline JSON or a file; see sim/description.py)")
    parser.add_argument("--tcp", action="store_true", default=None, help="listen for the host over TCP")
    parser.add_argument("--host", help="TCP address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, help="TCP port (default: one the system picks)")
    parser.add_argument("--pty", action="store_true", default=None, help="offer a pseudo-terminal as a serial device")
    parser.add_argument("--address", type=_number, help="module address (even, default 2)")
    parser.add_argument("--model", type=_number, help="model number (default 0x11)")
    parser.add_argument("--serial", type=_number, help="serial number (default 0x40F5849A)")
    parser.add_argument("--version", dest="fw_version",
                        help="firmware version: 2.11.4 (default), 2.15.0/current, 2.11.4/legacy or a word 0x2B000004")
    parser.add_argument("--build", type=_number, help="firmware build number (default 1100)")
    parser.add_argument("--name", help="device name (default 'Tolvarine module')")
    parser.add_argument("--label", help="free text echoed in the info record")
    parser.add_argument("--behind", action="append", default=[], metavar="ADDR,SERIAL,MODEL[,VERSION[,BUILD[,NAME]]]",
                        help="a module behind this one on its I2C network (repeatable): this one is a router")
    parser.add_argument("--uei-data", action="store_true", default=None, help="accept firmware data as UEI byte arrays")
    parser.add_argument("--pooled", action="store_true", default=None, help="announce pooled packets (feature bit 31)")
    parser.add_argument("--block-size", type=_number, help="block size announced by PREPARE (default 256)")
    parser.add_argument("--load-base", type=_number, help="load base answered by INIT (default 0x10000000)")
    parser.add_argument("--down-ms", type=int, help="time away after LOAD, REBOOT or reset (default 300)")
    parser.add_argument("--load-keeps-link", action="store_true", default=None,
                        help="LOAD starts the loader without dropping the link")
    parser.add_argument("--heartbeat-ms", type=int,
                        help="send heartbeats every N ms, alternating up and down (default: none)")
    parser.add_argument("--info", metavar="FILE",
                        help="write where to reach the stand-in as JSON to FILE (tcp_host, tcp_port, pty, "
                             "control_port, pid, address, serial, model, behind, label); it is also printed "
                             "as one line 'TV-MODULE {json}' on standard output")
    parser.add_argument("--log", metavar="FILE", help="append every received packet to FILE as JSON lines")
    parser.add_argument("--discovery", action="store_true", default=None,
                        help="answer TCP/IP discovery requests with this stand-in's identity (sim/discovery.py)")
    return parser.parse_args(argv)


def description_of(args: argparse.Namespace) -> dict:
    """The --config description with the command-line options laid over it."""
    desc = description.load(args.config) if args.config else {}
    overrides = {"tcp": args.tcp, "host": args.host, "port": args.port, "pty": args.pty,
                 "address": args.address, "model": args.model, "serial": args.serial,
                 "version": args.fw_version, "build": args.build, "device_name": args.name,
                 "label": args.label, "uei_data": args.uei_data, "pooled": args.pooled,
                 "block_size": args.block_size, "load_base": args.load_base, "down_ms": args.down_ms,
                 "heartbeat_ms": args.heartbeat_ms, "log": args.log, "discovery": args.discovery,
                 "load_keeps_link": args.load_keeps_link}
    desc.update({k: v for k, v in overrides.items() if v is not None})
    if args.behind:
        desc["behind"] = desc.get("behind", []) + [description.behind_from_text(t) for t in args.behind]
    return desc


def standin_from(desc: dict) -> StandIn:
    tcp, pty = desc.get("tcp"), bool(desc.get("pty", False))
    if tcp is None:
        tcp = not pty
    return StandIn(description.network_from(desc), desc.get("host", "127.0.0.1"),
                   description.number(desc.get("port", 0)) if tcp else None, pty, desc.get("log"),
                   int(desc.get("down_ms", 300)), desc.get("label"))


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    try:
        desc = description_of(args)
    except (ValueError, OSError) as error:
        print(f"module.py: {error}", file=sys.stderr)
        return 2
    standin = standin_from(desc)
    standin.load_drops = not desc.get("load_keeps_link", False)
    if desc.get("heartbeat_ms"):
        standin.command(f"heartbeat_every {int(desc['heartbeat_ms'])}")
    if desc.get("discovery"):
        _start_discovery(standin)
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
