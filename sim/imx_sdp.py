#!/usr/bin/env python3
"""A simulated i.MX RT processor in its ROM serial download mode (SDP),
reachable over a pseudo-terminal that stands in for its serial line and,
with --hid-tcp, as a USB HID device through sim/usb's bridge.

Device logic and framing are separate, so the same SdpDevice sits behind
either transport:

* ``SdpDevice``    takes host reports (id 1: a 16-byte command block; id 2:
                   file data) and gives device reports as (id, payload):
                   id 3 the 4-byte HAB mode, id 4 a status word or data.
* ``SerialFraming`` the serial line: commands are bare 16-byte blocks, file
                   data follows a WRITE_FILE as raw bytes, replies are the
                   payloads one after the other (HAB mode, then status).
* ``hid_input_report`` the HID form of one device report (report 3 is id
                   plus 4 bytes, report 4 is id plus 64 bytes).
* ``HidReportServer`` the HID reports on a TCP socket, as the bridge's
                   emulated hidraw device carries them: every frame is a
                   2-byte big-endian length and one report, report id
                   first. Output reports in (1: id + 16-byte command block,
                   2: id + up to 1024 file bytes), input reports out (3:
                   5 bytes, 4: 65 bytes), all replies to one report in one
                   write so that the host reads them back to back.

Commands (big-endian fields: type, address, format, count, data):
ERROR_STATUS 0x0505 (HAB mode, then the last error status or the
acknowledge word 0xF0F0F0F0), WRITE_FILE 0x0404 (silent while the data
arrive, then HAB mode and 0x88888888), JUMP_ADDRESS 0x0B0B (HAB mode, then
the processor runs the loader and stops answering), READ_REGISTER 0x0101
(HAB mode, then the register's words, little-endian). HAB mode words:
0x56787856 open (default), 0x12343412 closed.

Memory: ITCM 512 KiB at 0, DTCM 512 KiB at 0x20000000, OCRAM 512 KiB at
0x20200000; registers are read from a table of fuse values (default 0 for
any address).

Control channel (TCP on 127.0.0.1, one command a line, one reply line
beginning "ok" or "err"):

  ping                        ok
  ram ADDR LEN                ok HEX     memory contents
  fuse ADDR VALUE             set the word READ_REGISTER gives for ADDR
  hab open|closed             HAB mode reported
  silent 0|1                  (1) answer nothing at all
  talk_during_transfer 0|1    (1) report an error status after the first
                              data report of a WRITE_FILE (and drop the rest)
  completion WORD|off         finish a WRITE_FILE with WORD instead of
                              0x88888888
  state                       ok JSON    writes (address, length), jump
                              address, commands seen
  hid_reports                 ok JSON    with --hid-tcp: lengths of the output
                              reports received per report id, input reports
                              sent, connections accepted
  reset                       back to download mode, memory kept
  quit                        end the stand-in

Run "python3 sim/imx_sdp.py --help" for the command line. Importable as
sim.imx_sdp; start() runs the stand-in in a child process for tests.
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import struct
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import serial_standin  # type: ignore[no-redef]
else:
    from . import serial_standin

READ_REGISTER = 0x0101
WRITE_FILE = 0x0404
ERROR_STATUS = 0x0505
JUMP_ADDRESS = 0x0B0B

HAB_OPEN = 0x56787856
HAB_CLOSED = 0x12343412
STATUS_ACK = 0xF0F0F0F0
STATUS_WRITE_COMPLETE = 0x88888888
# The stand-in's own error words (the host only tells them from the above).
STATUS_BAD_ADDRESS = 0x33333333
STATUS_BAD_COMMAND = 0x55555555
STATUS_TALKED = 0x66666666

REPORT_COMMAND = 1
REPORT_DATA = 2
REPORT_HAB = 3
REPORT_STATUS = 4

MEMORY = ((0x00000000, 0x80000), (0x20000000, 0x80000), (0x20200000, 0x80000))


class SdpDevice:
    """The ROM's serial download logic, report in, reports out."""

    def __init__(self) -> None:
        self.memory = {start: bytearray(size) for start, size in MEMORY}
        self.fuses: dict[int, int] = {}
        self.hab_mode = HAB_OPEN
        self.silent = False
        self.talk_during_transfer = False
        self.completion: int | None = None
        self.writes: list[tuple[int, int]] = []
        self.commands: list[str] = []
        self.reset()

    def reset(self) -> None:
        self.error_status = STATUS_ACK
        self.jumped: int | None = None
        self.transfer: dict | None = None

    # Memory ----------------------------------------------------------------

    def region(self, address: int, length: int):
        for start, buffer in self.memory.items():
            if start <= address and address + length <= start + len(buffer):
                return buffer, address - start
        return None

    def read_memory(self, address: int, length: int) -> bytes:
        found = self.region(address, length)
        if found is None:
            raise ValueError("address not mapped")
        buffer, offset = found
        return bytes(buffer[offset:offset + length])

    # Reports ---------------------------------------------------------------

    def hab(self) -> tuple[int, bytes]:
        return REPORT_HAB, struct.pack("<I", self.hab_mode)

    @staticmethod
    def status(word: int) -> tuple[int, bytes]:
        return REPORT_STATUS, struct.pack("<I", word & 0xFFFFFFFF)

    def expecting_data(self) -> int:
        """File bytes still due for the current WRITE_FILE."""
        return self.transfer["left"] if self.transfer else 0

    def handle(self, report_id: int, payload: bytes) -> list[tuple[int, bytes]]:
        if self.silent or self.jumped is not None:
            return []
        if report_id == REPORT_DATA:
            return self.on_data(payload)
        if report_id != REPORT_COMMAND or len(payload) < 16:
            return []
        kind, address, fmt, count, _data = struct.unpack(">HIBII", payload[:15])
        self.commands.append("%04X %08X %02X %d" % (kind, address, fmt, count))
        if kind == ERROR_STATUS:
            return [self.hab(), self.status(self.error_status)]
        if kind == WRITE_FILE:
            return self.on_write_file(address, count)
        if kind == JUMP_ADDRESS:
            if self.region(address, 4) is None:
                self.error_status = STATUS_BAD_ADDRESS
                return [self.hab(), self.status(STATUS_BAD_ADDRESS)]
            self.jumped = address
            return [self.hab()]
        if kind == READ_REGISTER:
            words = max(1, count // 4)
            value = b"".join(struct.pack("<I", self.fuses.get(address + 4 * i, 0)) for i in range(words))
            return [self.hab(), (REPORT_STATUS, value)]
        self.error_status = STATUS_BAD_COMMAND
        return [self.hab(), self.status(STATUS_BAD_COMMAND)]

    def on_write_file(self, address: int, count: int) -> list[tuple[int, bytes]]:
        self.transfer = {"address": address, "count": count, "left": count, "data": bytearray(),
                         "reports": 0}
        if count == 0:
            return self.finish_write()
        return []

    def on_data(self, payload: bytes) -> list[tuple[int, bytes]]:
        t = self.transfer
        if t is None:
            return []
        take = payload[:t["left"]]
        t["data"] += take
        t["left"] -= len(take)
        t["reports"] += 1
        if t.get("draining"):
            if t["left"] == 0:
                self.transfer = None
            return []
        if self.talk_during_transfer:
            # An error status in the middle of a file; the rest of the file
            # is swallowed so that it is not taken for commands.
            t["draining"] = True
            self.error_status = STATUS_TALKED
            if t["left"] == 0:
                self.transfer = None
            return [self.hab(), self.status(STATUS_TALKED)]
        if t["left"] == 0:
            return self.finish_write()
        return []

    def finish_write(self) -> list[tuple[int, bytes]]:
        t = self.transfer
        self.transfer = None
        found = self.region(t["address"], t["count"])
        if found is None:
            self.error_status = STATUS_BAD_ADDRESS
            return [self.hab(), self.status(STATUS_BAD_ADDRESS)]
        buffer, offset = found
        buffer[offset:offset + t["count"]] = t["data"]
        self.writes.append((t["address"], t["count"]))
        word = self.completion if self.completion is not None else STATUS_WRITE_COMPLETE
        return [self.hab(), self.status(word)]

    # Control channel -------------------------------------------------------

    def control(self, words: list[str]) -> str:
        name, args = words[0], words[1:]
        if name == "ping":
            return ""
        if name == "ram":
            return self.read_memory(int(args[0], 0), int(args[1], 0)).hex()
        if name == "fuse":
            self.fuses[int(args[0], 0)] = int(args[1], 0) & 0xFFFFFFFF
            return ""
        if name == "hab":
            self.hab_mode = HAB_CLOSED if args[0] == "closed" else HAB_OPEN
            return ""
        if name == "silent":
            self.silent = args[0] == "1"
            return ""
        if name == "talk_during_transfer":
            self.talk_during_transfer = args[0] == "1"
            return ""
        if name == "completion":
            self.completion = None if args[0] == "off" else int(args[0], 0) & 0xFFFFFFFF
            return ""
        if name == "state":
            return json.dumps({"writes": self.writes, "jumped": self.jumped, "commands": self.commands,
                               "error_status": self.error_status})
        if name == "reset":
            self.reset()
            return ""
        raise ValueError("unknown command " + name)


def hid_input_report(report: tuple[int, bytes]) -> bytes:
    """The HID input report for one device report."""
    report_id, payload = report
    if report_id == REPORT_HAB:
        return bytes([REPORT_HAB]) + payload[:4].ljust(4, b"\0")
    return bytes([report_id]) + payload[:64].ljust(64, b"\0")


class HidReportServer:
    """Framed HID reports over TCP in front of an SdpDevice (the bridge's
    emulated hidraw device connects here once it is plugged in)."""

    def __init__(self, device: SdpDevice, host: str = "127.0.0.1", port: int = 0) -> None:
        self.device = device
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(2)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.connections: dict[socket.socket, bytearray] = {}
        self.out_lengths: dict[int, list[int]] = {}
        self.in_reports = 0
        self.accepted = 0

    def sockets(self) -> list:
        return [self.listener, *self.connections]

    def on_readable(self, sock) -> None:
        if sock is self.listener:
            try:
                conn, _ = self.listener.accept()
            except BlockingIOError:
                return
            conn.setblocking(False)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connections[conn] = bytearray()
            self.accepted += 1
            return
        try:
            chunk = sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.connections.pop(sock, None)
            sock.close()
            return
        buffer = self.connections[sock]
        buffer += chunk
        out = bytearray()
        while len(buffer) >= 2:
            length = (buffer[0] << 8) | buffer[1]
            if len(buffer) < 2 + length:
                break
            report = bytes(buffer[2:2 + length])
            del buffer[:2 + length]
            if not report:
                continue
            self.out_lengths.setdefault(report[0], []).append(len(report))
            for reply in self.device.handle(report[0], report[1:]):
                data = hid_input_report(reply)
                out += struct.pack(">H", len(data)) + data
                self.in_reports += 1
        if out:
            sock.setblocking(True)
            try:
                sock.sendall(bytes(out))
            except OSError:
                pass
            finally:
                sock.setblocking(False)

    def state(self) -> str:
        return json.dumps({"out": {str(k): v for k, v in self.out_lengths.items()}, "in": self.in_reports,
                           "connections": self.accepted})

    def close(self) -> None:
        for conn in self.connections:
            conn.close()
        self.connections = {}
        self.listener.close()


class Transports:
    """The serial line and, optionally, the HID reports, both in front of
    one SdpDevice: what the stand-in's event loop serves."""

    def __init__(self, device: SdpDevice, hid: HidReportServer | None = None) -> None:
        self.serial = SerialFraming(device)
        self.hid = hid

    def feed(self, data: bytes) -> bytes:
        return self.serial.feed(data)

    def control(self, words: list[str]) -> str:
        if words and words[0] == "hid_reports":
            if self.hid is None:
                raise ValueError("no HID transport")
            return self.hid.state()
        return self.serial.control(words)

    def sockets(self) -> list:
        return self.hid.sockets() if self.hid else []

    def on_readable(self, sock) -> None:
        if self.hid is not None:
            self.hid.on_readable(sock)

    def close(self) -> None:
        if self.hid is not None:
            self.hid.close()


class SerialFraming:
    """The serial line in front of an SdpDevice (the pty stand-in's device)."""

    # The ROM drops a partial command block after the line has been idle this
    # long, so stray bytes (another boot loader's probe) do not shift the
    # framing of every later command.
    COMMAND_GAP_S = 0.25

    def __init__(self, device: SdpDevice) -> None:
        self.device = device
        self.inbound = bytearray()
        self.last_input = 0.0

    def feed(self, data: bytes) -> bytes:
        out = bytearray()
        now = time.monotonic()
        if self.inbound and not self.device.expecting_data() and now - self.last_input > self.COMMAND_GAP_S:
            self.inbound.clear()
        self.last_input = now
        self.inbound += data
        while self.inbound:
            due = self.device.expecting_data()
            if due:
                piece = bytes(self.inbound[:min(due, 1024)])
                del self.inbound[:len(piece)]
                replies = self.device.handle(REPORT_DATA, piece)
            elif len(self.inbound) >= 16:
                block = bytes(self.inbound[:16])
                del self.inbound[:16]
                replies = self.device.handle(REPORT_COMMAND, block)
            else:
                break
            for _, payload in replies:
                out += payload
        return bytes(out)

    def control(self, words: list[str]) -> str:
        return self.device.control(words)


def start(*extra: str, timeout: float = 10.0):
    """Starts the stand-in as a child process; returns (process, info dict)."""
    return serial_standin.start(__file__, "i.MX", *extra, timeout=timeout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Simulated i.MX RT in serial download mode on a pseudo-terminal, with a text "
                    "control channel for tests.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    serial_standin.add_common_arguments(parser)
    parser.add_argument("--fuse", nargs=2, action="append", metavar=("ADDR", "VALUE"), default=[],
                        help="a register word READ_REGISTER reports (repeatable)")
    parser.add_argument("--hab-closed", action="store_true", help="report HAB mode closed")
    parser.add_argument("--silent", action="store_true", help="answer nothing at all")
    parser.add_argument("--hid-tcp", type=int, metavar="PORT", default=None,
                        help="also serve HID reports framed for sim/usb's bridge on this TCP port of "
                             "127.0.0.1 (0: one the system picks; the port is \"hid_port\" in the info)")
    args = parser.parse_args(argv)
    device = SdpDevice()
    for address, value in args.fuse:
        device.fuses[int(address, 0)] = int(value, 0) & 0xFFFFFFFF
    if args.hab_closed:
        device.hab_mode = HAB_CLOSED
    device.silent = args.silent
    hid = HidReportServer(device, port=args.hid_tcp) if args.hid_tcp is not None else None
    info = {"hid_port": hid.port} if hid is not None else {}
    return serial_standin.run(Transports(device, hid), args, "TV-IMX-SDP", info)


if __name__ == "__main__":
    sys.exit(main())
