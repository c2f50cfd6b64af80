#!/usr/bin/env python3
"""Update-server stand-in (Python 3 standard library only).

A real HTTP server on 127.0.0.1 serving the one endpoint "/cgi/u", written
from the wire formats alone:

  GET /cgi/u?name=value&...&     every query carries its operation in "op"
  reply: text lines ending "\\n" (or "\\r\\n" with line_end), first line "ok"

  op=hi       rv                 ok
  op=qu       sn=SSSSSSSS        ok / current build / its version
  op=bird     sn, bld, fw, no_cal  ok / the Bird file as base64
  op=builds   sn                 ok / one "build;version" line per build
  op=fix      fp=W0%20W1%20W2%20W3, brief   ok / serial (hex) / build
  op=ent_jwt  sn, json           ok / header.payload.signature

The catalogue (a JSON file or a dict) describes what it knows:

  {"devices": {"40F5849A": {"current": 1234,
                            "builds": {"1234": "1.2.3", "1200": "1.1.0"},
                            "model": "TVHub4", "firmware_size": 4096,
                            "bird_files": {"1234": "path.bird"},
                            "jwt": "aa.bb.cc"}},
   "chips": {"00000001 00000002 00000003 00000004":
                 {"device": "40F5849A", "build": 1234, "encode": true}},
   "line_end": "\\n",
   "faults": [{"op": "bird", "kind": "status", "status": 503}]}

Build lists are sent in catalogue order. Bird files are made with
sim/birdfile.py: an INFO block (build, version, serial, model), a loader
block and a firmware block of firmware_size deterministic bytes; a device
named by a chip with "encode" gets its firmware encoded with that chip's
fingerprint. Any numeric build is served by op=bird, listed or not (its
version then comes from the "fw" parameter).

Faults ({"op": OP or "*", "kind": KIND, ...}; the first that matches wins):
  status      HTTP status "status" (default 500) with body "body"
  not_ok      first line "error" instead of "ok"
  missing_line  only the first line, "ok"
  empty_body  status 200 with no body at all
  empty_payload  "ok" and an empty line instead of the payload
  bad_length  the base64 payload (or line 2) one character short
  bad_chars   a character of the payload (or line 2) replaced by "*"
  body        the reply body "body", as it is
  stall       headers (and "after_bytes" of the body, default 0), then
              silence for "seconds" (default 120) before closing
  drop        closes the connection after "after_bytes" of the reply
              (default 0: nothing at all is sent)
  endless     the reply, then filler without end in a chunked body, until
              the client goes; with "announce" N, a Content-Length of N
              instead and filler up to N bytes

Every request is recorded (path, raw query, parameters, op) in memory, in
the JSON lines file given by --log, and at GET /control/requests.
POST /control/faults (a JSON list) replaces the faults; POST /control/reset
clears the record (and empties the --log file).

As a command:  update_server.py --catalogue C.json [--port-file F] [--log L]
               [--fault JSON]... [--tls-cert CERT --tls-key KEY]
As a module:   server = UpdateServer(catalogue, faults=[...]); server.start();
               server.url; server.requests(); server.stop()
"""

import argparse
import base64
import hashlib
import hmac
import json
import os
import random
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Dict, List, Optional
from urllib.parse import parse_qs

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from sim import birdfile  # noqa: E402

ENDPOINT = "/cgi/u"
JWT_KEY = b"tolvarine stand-in signing key"


def _serial(value) -> int:
    return int(value, 16) if isinstance(value, str) else int(value)


def _fingerprint_key(text: str) -> tuple:
    words = text.replace("%20", " ").replace(",", " ").split()
    if len(words) != 4:
        raise ValueError("a fingerprint is four hexadecimal words: %r" % text)
    return tuple(int(w, 16) for w in words)


def _b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


class Catalogue:
    """Devices by serial number, chips by fingerprint, and the packages."""

    def __init__(self, description: Optional[dict] = None):
        description = description or {}
        self.devices: Dict[int, dict] = {_serial(k): dict(v) for k, v in description.get("devices", {}).items()}
        self.chips: Dict[tuple, dict] = {_fingerprint_key(k): dict(v)
                                         for k, v in description.get("chips", {}).items()}
        self.line_end: str = description.get("line_end", "\n")
        self.faults: List[dict] = list(description.get("faults", []))
        self._packages: Dict[tuple, bytes] = {}
        self._lock = threading.Lock()

    @classmethod
    def from_file(cls, path: str) -> "Catalogue":
        with open(path) as source:
            return cls(json.load(source))

    def device(self, serial: int) -> Optional[dict]:
        return self.devices.get(serial)

    def builds(self, serial: int) -> Dict[str, str]:
        return {str(k): str(v) for k, v in self.device(serial).get("builds", {}).items()}

    def version_of(self, serial: int, build: int, fallback: str = "") -> str:
        return self.builds(serial).get(str(build), fallback)

    def chip_for_device(self, serial: int) -> Optional[tuple]:
        for fingerprint, chip in self.chips.items():
            if _serial(chip["device"]) == serial and chip.get("encode", False):
                return fingerprint
        return None

    def package(self, serial: int, build: int, version: Optional[str] = None) -> bytes:
        """The Bird file served for this device and build, always the same bytes."""
        key = (serial, build)
        with self._lock:
            if key in self._packages:
                return self._packages[key]
        device = self.device(serial) or {}
        path = {str(k): v for k, v in device.get("bird_files", {}).items()}.get(str(build))
        if path is not None:
            with open(path, "rb") as source:
                data = source.read()
        else:
            data = self._make_package(serial, build, device, version)
        with self._lock:
            self._packages[key] = data
        return data

    def _make_package(self, serial: int, build: int, device: dict, version: Optional[str]) -> bytes:
        rng = random.Random(serial * 1000003 + build)
        size = int(device.get("firmware_size", 1024))
        firmware = rng.randbytes(size)
        loader = rng.randbytes(int(device.get("loader_size", 256)))
        text = self.version_of(serial, build, version or "")
        blocks = [birdfile.info_block(build, text, serial, device.get("model", "TVHub4")),
                  birdfile.loader_block(0x20000000, loader),
                  birdfile.firmware_block(0x00004000, firmware)]
        # The image names its own build and version (its last 64 bytes), which
        # is what a module stand-in reports after rebooting into it.
        birdfile.embed_info(blocks, max(0, size - birdfile.INFO_SIZE))
        fingerprint = self.chip_for_device(serial)
        if fingerprint is not None:
            blocks = birdfile.encode_for_chip(blocks, fingerprint)
        # Level 1: the stand-in should not spend its time compressing.
        return birdfile.build_bird(blocks, level=1)

    def jwt(self, serial: int) -> str:
        device = self.device(serial)
        if "jwt" in device:
            return str(device["jwt"])
        header = _b64url(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
        payload = _b64url(json.dumps({"sn": "%08X" % serial,
                                      "features": device.get("features", ["update"])}).encode())
        signature = _b64url(hmac.new(JWT_KEY, (header + "." + payload).encode(), hashlib.sha256).digest())
        return header + "." + payload + "." + signature


class Reply:
    def __init__(self, status: int = 200, body: bytes = b""):
        self.status = status
        self.body = body


class UpdateServer:
    """The stand-in; start() binds 127.0.0.1 on a free port (or `port`)."""

    def __init__(self, catalogue, faults: Optional[List[dict]] = None, log_path: Optional[str] = None,
                 tls_cert: Optional[str] = None, tls_key: Optional[str] = None, port: int = 0):
        self.catalogue = catalogue if isinstance(catalogue, Catalogue) else Catalogue(catalogue)
        self.faults = list(faults if faults is not None else self.catalogue.faults)
        self.log_path = log_path
        self.tls = tls_cert is not None
        self._tls_files = (tls_cert, tls_key)
        self._requested_port = port
        self._records: List[dict] = []
        self._lock = threading.Lock()
        self._httpd: Optional[ThreadingHTTPServer] = None
        self._thread: Optional[threading.Thread] = None

    # --- life ---------------------------------------------------------------
    def start(self) -> "UpdateServer":
        handler = type("Handler", (_Handler,), {"stand_in": self})
        self._httpd = ThreadingHTTPServer(("127.0.0.1", self._requested_port), handler)
        self._httpd.daemon_threads = True
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*self._tls_files)
            self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        return "%s://127.0.0.1:%d%s" % ("https" if self.tls else "http", self.port, ENDPOINT)

    # --- record -------------------------------------------------------------
    def record(self, entry: dict) -> None:
        with self._lock:
            self._records.append(entry)
            if self.log_path:
                with open(self.log_path, "a") as log:
                    log.write(json.dumps(entry) + "\n")

    def requests(self) -> List[dict]:
        with self._lock:
            return list(self._records)

    def reset(self) -> None:
        with self._lock:
            self._records.clear()
            if self.log_path:
                open(self.log_path, "w").close()

    def set_faults(self, faults: List[dict]) -> None:
        with self._lock:
            self.faults = list(faults)

    def fault_for(self, op: str) -> Optional[dict]:
        with self._lock:
            for fault in self.faults:
                if fault.get("op", "*") in ("*", op):
                    return fault
        return None

    # --- answers ------------------------------------------------------------
    def lines(self, *lines: str) -> bytes:
        end = self.catalogue.line_end
        return "".join(line + end for line in lines).encode("latin-1")

    def answer(self, op: str, params: Dict[str, str]) -> Reply:
        catalogue = self.catalogue
        if op == "hi":
            return Reply(body=self.lines("ok", "Tolvarine update server stand-in"))
        if op == "fix":
            try:
                chip = catalogue.chips.get(_fingerprint_key(params.get("fp", "")))
            except ValueError:
                chip = None
            if chip is None:
                return Reply(body=self.lines("error", "unknown chip"))
            return Reply(body=self.lines("ok", "%08X" % _serial(chip["device"]), str(chip.get("build", 0))))
        if op not in ("qu", "bird", "builds", "ent_jwt"):
            return Reply(400, self.lines("error", "unknown operation"))
        try:
            serial = int(params.get("sn", ""), 16)
        except ValueError:
            serial = None
        device = catalogue.device(serial) if serial is not None else None
        if device is None:
            return Reply(body=self.lines("error", "unknown device"))
        if op == "qu":
            current = int(device.get("current", 0))
            return Reply(body=self.lines("ok", str(current), catalogue.version_of(serial, current)))
        if op == "builds":
            entries = ["%s;%s" % (b, v) if v else b for b, v in catalogue.builds(serial).items()]
            return Reply(body=self.lines("ok", *entries))
        if op == "ent_jwt":
            return Reply(body=self.lines("ok", catalogue.jwt(serial)))
        try:
            build = int(params.get("bld", ""))
        except ValueError:
            return Reply(body=self.lines("error", "bad build"))
        package = catalogue.package(serial, build, params.get("fw"))
        return Reply(body=b"ok" + self.catalogue.line_end.encode() + base64.b64encode(package)
                     + self.catalogue.line_end.encode())


def _damage_line2(body: bytes, how: str) -> bytes:
    lines = body.split(b"\n")
    index = next((i for i in range(1, len(lines)) if lines[i].strip(b"\r")), None)
    if index is None:
        return body
    line = lines[index]
    tail = b"\r" if line.endswith(b"\r") else b""
    text = line[:len(line) - len(tail)]
    text = text[:-1] if how == "bad_length" else text[:len(text) // 2] + b"*" + text[len(text) // 2 + 1:]
    lines[index] = text + tail
    return b"\n".join(lines)


class _Handler(BaseHTTPRequestHandler):
    stand_in: UpdateServer = None
    server_version = "TolvarineStandIn/1.0"

    def log_message(self, format, *args):  # keep the test output quiet
        pass

    def _send(self, status: int, body: bytes, content_type: str = "text/plain") -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        data = self.rfile.read(length) if length else b""
        if self.path == "/control/faults":
            self.stand_in.set_faults(json.loads(data or b"[]"))
        elif self.path == "/control/reset":
            self.stand_in.reset()
        else:
            return self._send(404, b"not found\n")
        self._send(200, b"ok\n")

    def do_GET(self):
        path, _, query = self.path.partition("?")
        if path == "/control/requests":
            return self._send(200, json.dumps(self.stand_in.requests()).encode(), "application/json")
        params = {k: v[0] for k, v in parse_qs(query, keep_blank_values=True).items()}
        op = params.get("op", "")
        self.stand_in.record({"path": path, "query": query, "params": params, "op": op,
                              "tls": self.stand_in.tls, "time": time.time()})
        if path != ENDPOINT:
            return self._send(404, b"not found\n")
        reply = self.stand_in.answer(op, params)
        fault = self.stand_in.fault_for(op)
        if fault is None:
            return self._send(reply.status, reply.body)
        self._faulty(fault, reply)

    def _faulty(self, fault: dict, reply: Reply) -> None:
        kind = fault.get("kind")
        end = self.stand_in.catalogue.line_end.encode()
        if kind == "status":
            return self._send(int(fault.get("status", 500)), fault.get("body", "error\n").encode("latin-1"))
        if kind == "not_ok":
            body = reply.body.split(end, 1)
            return self._send(200, b"error" + end + (body[1] if len(body) > 1 else b""))
        if kind == "missing_line":
            return self._send(200, b"ok" + end)
        if kind == "empty_body":
            return self._send(200, b"")
        if kind == "empty_payload":
            return self._send(200, b"ok" + end + end)
        if kind in ("bad_length", "bad_chars"):
            return self._send(200, _damage_line2(reply.body, kind))
        if kind == "body":
            return self._send(int(fault.get("status", 200)), fault.get("body", "").encode("latin-1"))
        if kind == "stall":
            return self._stall(reply, int(fault.get("after_bytes", 0)), float(fault.get("seconds", 120)))
        if kind == "drop":
            return self._drop(reply, int(fault.get("after_bytes", 0)))
        if kind == "endless":
            return self._endless(reply, fault.get("announce"))
        self._send(500, b"unknown fault kind\n")

    def _endless(self, reply: Reply, announce) -> None:
        filler = b"0" * 65536
        self.close_connection = True
        try:
            if announce is not None:
                left = int(announce)
                self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % left)
                self.wfile.write(reply.body[:left])
                left -= len(reply.body[:left])
                while left > 0:
                    piece = filler[:left]
                    self.wfile.write(piece)
                    left -= len(piece)
                return
            self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            self.wfile.write(b"%x\r\n%s\r\n" % (len(reply.body), reply.body))
            chunk = b"%x\r\n%s\r\n" % (len(filler), filler)
            while True:
                self.wfile.write(chunk)
        except OSError:
            pass  # the client gave up: what this fault is for

    def _stall(self, reply: Reply, after_bytes: int, seconds: float) -> None:
        self.send_response(reply.status)
        self.send_header("Content-Length", str(len(reply.body)))
        self.end_headers()
        self.wfile.write(reply.body[:after_bytes])
        self.wfile.flush()
        deadline = time.monotonic() + seconds
        # Wake up now and then to see whether the client has gone.
        while time.monotonic() < deadline:
            time.sleep(0.2)
        self.close_connection = True

    def _drop(self, reply: Reply, after_bytes: int) -> None:
        if after_bytes > 0:
            head = ("HTTP/1.0 %d OK\r\nContent-Length: %d\r\n\r\n" % (reply.status, len(reply.body))).encode()
            whole = head + reply.body
            self.wfile.write(whole[:after_bytes])
            self.wfile.flush()
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _write_port_file(path: str, server: UpdateServer) -> None:
    temporary = path + ".tmp"
    with open(temporary, "w") as out:
        out.write("%d\n%s\n" % (server.port, server.url))
    os.replace(temporary, path)  # readers never see half a file


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Tolvarine update-server stand-in on 127.0.0.1")
    parser.add_argument("--catalogue", help="JSON catalogue (devices, chips, faults, line_end)")
    parser.add_argument("--port", type=int, default=0, help="port to bind (default: any free port)")
    parser.add_argument("--port-file", help="write the port and the endpoint URL here once listening")
    parser.add_argument("--log", help="append every request as one JSON line here")
    parser.add_argument("--fault", action="append", default=[], help="one fault as JSON; repeatable")
    parser.add_argument("--tls-cert", help="serve https with this certificate (PEM)")
    parser.add_argument("--tls-key", help="the certificate's private key (PEM)")
    args = parser.parse_args(argv)
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    catalogue = Catalogue.from_file(args.catalogue) if args.catalogue else Catalogue()
    faults = [json.loads(f) for f in args.fault] if args.fault else None
    server = UpdateServer(catalogue, faults, args.log, args.tls_cert, args.tls_key, args.port).start()
    if args.port_file:
        _write_port_file(args.port_file, server)
    print(server.url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
