"""Byte connections between a simulated module and the host: a TCP
connection or the master side of a pseudo-terminal, each with its own frame
parser, sharing the stand-in's byte-level fault switches.
"""

from __future__ import annotations

import os
import socket
import time
import tty
from dataclasses import dataclass

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]


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
        self.down = False           # the module is away: nothing is read or sent

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
        if self.down:
            return
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
