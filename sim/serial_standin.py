"""Plumbing shared by the chip stand-ins that sit behind a serial port: a
pseudo-terminal the host opens as its serial device, a line-based TCP control
channel for tests, and the event loop that joins them to a device object.

A device object offers:

  feed(data: bytes) -> bytes        bytes from the host in, bytes to send back
  control(words: list[str]) -> str  one control command; returns the text after
                                    "ok" (raise ValueError to answer "err ...")
  pending() -> bytes                optional: bytes due now without any input
                                    (delayed answers); called every loop turn
  hold_input() -> bool              optional: True while the device must not
                                    read from the line (a stalled chip)
  sockets() -> list                 optional: further sockets to watch (another
                                    transport in front of the same device)
  on_readable(sock)                 optional: one of those sockets is readable
"""

from __future__ import annotations

import json
import os
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty


class PtyPort:
    """The master side of a pseudo-terminal; the host opens `path`."""

    def __init__(self) -> None:
        self.master, self.slave = os.openpty()
        # Raw slave: the line discipline must neither echo nor translate
        # before the host applies its own settings.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)

    def read(self) -> bytes:
        # The stand-in keeps the slave open itself, so the pty never hangs up
        # when the host closes and reopens the port.
        try:
            return os.read(self.master, 65536)
        except (BlockingIOError, OSError):
            return b""

    def write(self, data: bytes, patience_s: float = 2.0) -> None:
        deadline = time.monotonic() + patience_s
        while data:
            try:
                n = os.write(self.master, data)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return  # nobody reads the port: drop the rest
                time.sleep(0.001)
                continue
            data = data[n:]

    def close(self) -> None:
        os.close(self.master)
        os.close(self.slave)


class Control:
    """Test-side client of a stand-in's control channel."""

    def __init__(self, port: int, host: str = "127.0.0.1") -> None:
        self.sock = socket.create_connection((host, port), timeout=10)
        self.file = self.sock.makefile("rw", encoding="ascii", newline="\n")

    def __call__(self, *words: object) -> str:
        self.file.write(" ".join(str(w) for w in words) + "\n")
        self.file.flush()
        reply = self.file.readline().rstrip("\n")
        if not reply.startswith("ok"):
            raise RuntimeError("stand-in refused: " + reply)
        return reply[3:]

    def close(self) -> None:
        self.file.close()
        self.sock.close()


def start(script: str, name: str, *extra: str, timeout: float = 10.0):
    """Starts the stand-in `script` as a child process; returns (process,
    info dict). The info file it writes is read once and removed."""
    folder = tempfile.mkdtemp(prefix="tv-standin-")
    try:
        info_path = os.path.join(folder, "info.json")
        process = subprocess.Popen([sys.executable, os.path.abspath(script), "--info", info_path, *extra],
                                   stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while not os.path.exists(info_path):
            if process.poll() is not None or time.monotonic() > deadline:
                process.kill()
                raise RuntimeError(f"the {name} stand-in did not start")
            time.sleep(0.01)
        with open(info_path, encoding="utf-8") as handle:
            return process, json.load(handle)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def write_info(info: dict, info_path: str | None, pty_file: str | None, tag: str) -> None:
    """Publishes where the stand-in can be reached (atomically, for pollers)."""
    for path, text in ((info_path, json.dumps(info)), (pty_file, info["pty"] + "\n")):
        if path:
            tmp = path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as handle:
                handle.write(text)
            os.replace(tmp, path)
    print(tag + " " + json.dumps(info), flush=True)


def serve(device, port: PtyPort, control_port: int = 0, on_ready=None) -> None:
    """Runs until a "quit" control command or SIGTERM/SIGINT."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", control_port))
    listener.listen(4)
    listener.setblocking(False)
    if on_ready is not None:
        on_ready(listener.getsockname()[1])

    stop = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.append(True))

    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "listen")
    buffers: dict[socket.socket, bytearray] = {}
    port_registered = False
    watched: set = set()
    try:
        while not stop:
            wanted = set(getattr(device, "sockets", lambda: [])())
            for sock in watched - wanted:
                selector.unregister(sock)
            for sock in wanted - watched:
                selector.register(sock, selectors.EVENT_READ, "extra")
            watched = wanted
            hold = getattr(device, "hold_input", lambda: False)()
            if hold and port_registered:
                selector.unregister(port.master)
                port_registered = False
            elif not hold and not port_registered:
                selector.register(port.master, selectors.EVENT_READ, "port")
                port_registered = True
            for key, _ in selector.select(timeout=0.002):
                if key.data == "listen":
                    conn, _ = listener.accept()
                    conn.setblocking(False)
                    buffers[conn] = bytearray()
                    selector.register(conn, selectors.EVENT_READ, "control")
                elif key.data == "extra":
                    device.on_readable(key.fileobj)
                elif key.data == "port":
                    data = port.read()
                    if data:
                        reply = device.feed(data)
                        if reply:
                            port.write(reply)
                else:
                    conn = key.fileobj
                    try:
                        chunk = conn.recv(4096)
                    except BlockingIOError:
                        continue
                    if not chunk:
                        selector.unregister(conn)
                        buffers.pop(conn, None)
                        conn.close()
                        continue
                    buffer = buffers[conn]
                    buffer.extend(chunk)
                    while b"\n" in buffer:
                        raw, _, rest = bytes(buffer).partition(b"\n")
                        buffer[:] = rest
                        words = raw.decode("ascii", "replace").split()
                        if words == ["quit"]:
                            conn.sendall(b"ok\n")
                            stop.append(True)
                            break
                        try:
                            answer = "ok " + device.control(words) if words else "ok"
                        except (ValueError, IndexError, KeyError, OSError) as error:
                            answer = "err " + str(error)
                        conn.sendall(answer.rstrip().encode("ascii") + b"\n")
            due = getattr(device, "pending", lambda: b"")()
            if due:
                port.write(due)
    finally:
        for conn in list(buffers):
            conn.close()
        listener.close()
        selector.close()


def add_common_arguments(parser) -> None:
    parser.add_argument("--info", metavar="FILE",
                        help="write where to reach the stand-in as JSON to FILE (pty, control_port, pid); "
                             "it is also printed as one line on standard output")
    parser.add_argument("--pty-file", metavar="FILE", help="write the pseudo-terminal's path to FILE")
    parser.add_argument("--control-port", type=int, default=0,
                        help="TCP port of the control channel on 127.0.0.1 (default: one the system picks)")


def run(device, args, tag: str, info: dict | None = None) -> int:
    """Serves `device` on a pty; `info` adds entries to the info record."""
    port = PtyPort()
    try:
        def ready(control_port: int) -> None:
            record = {"pty": port.path, "control_port": control_port, "pid": os.getpid()}
            record.update(info or {})
            write_info(record, args.info, args.pty_file, tag)
        serve(device, port, args.control_port, ready)
    finally:
        closing = getattr(device, "close", None)
        if closing is not None:
            closing()
        port.close()
    return 0


if __name__ == "__main__":
    sys.exit("serial_standin.py is a helper module of the chip stand-ins")
