#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/corpus/NAME/seed-*) with the
stand-ins' own writers, so that each harness starts from well-formed input:

  bird          sim/birdfile.py packages, whole and as bare payloads
  server_reply  sim/update_server.py answers to every query
  lpc_isp       sim/lpc_isp.py answers to the ISP client's commands
  sdp           sim/imx_sdp.py reports, as HID reports and on the serial line
  discovery     sim/discovery.py TCP/IP replies
  packet, options, settings, sharing   small hand-made inputs

Seeds are only ever added or replaced, never the inputs fuzzing found.
Usage: fuzz/seeds.py
"""

import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from sim import birdfile, discovery, imx_sdp, lpc_isp, update_server  # noqa: E402

CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def write(harness: str, name: str, data: bytes) -> None:
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def bird_seeds() -> None:
    image = bytes(range(64))
    blocks = [birdfile.info_block(build=1234, version="1.2.3", serial=0x40F5849A, model="TVHub4"),
              birdfile.loader_block(0x10000000, image[:16]),
              birdfile.firmware_block(0, image),
              birdfile.serial_offsets_block(8, 16),
              birdfile.loader_start_block(0x10000000)]
    write("bird", "file", b"\0" + birdfile.build_bird(blocks))
    write("bird", "payload", b"\1" + birdfile.build_payload(blocks))
    write("bird", "payload-short-block", b"\1" + birdfile.build_payload(
        [birdfile.Block(birdfile.BLOCK_FIRMWARE, image[:8], declared_length=200)]))


def server_seeds() -> None:
    catalogue = {"devices": {"40F5849A": {"current": 1234, "builds": {"1234": "1.2.3", "1200": "1.1.0", "99": ""},
                                          "model": "TVHub4", "firmware_size": 64, "jwt": "aa.bb.cc"}},
                 "chips": {"00000001 00000002 00000003 00000004": {"device": "40F5849A", "build": 1234}}}
    server = update_server.UpdateServer(catalogue)
    queries = {"hi": {"rv": "2"}, "qu": {"sn": "40F5849A"}, "builds": {"sn": "40F5849A"},
               "ent_jwt": {"sn": "40F5849A"}, "fix": {"fp": "00000001 00000002 00000003 00000004"},
               "bird": {"sn": "40F5849A", "bld": "1234", "fw": "1.2.3"}}
    for op, params in queries.items():
        write("server_reply", op, server.answer(op, params).body)


def lpc_seeds() -> None:
    # Each client write answered with what the chip sends back (its echo
    # included), the answers cut at zero bytes; flags 0: no extra echo.
    sync = ["?", "Synchronized\r\n", "14746\r\n"]
    queries = ["K\r\n", "J\r\n", "N\r\n", "U 23130\r\n", "P 0 1\r\n", "E 0 1\r\n"]
    chip = lpc_isp.LpcIspChip()
    answers = [chip.feed(text.encode()) for text in sync + queries]
    write("lpc_isp", "session", bytes([0, 15]) + b"\0".join(answers))
    chip.flash[0:64] = bytes(range(64))
    reads = [chip.feed(b"R 0 64\r\n"), chip.feed(b"OK\r\n")]
    write("lpc_isp", "read", bytes([7 << 1, 15]) + b"\0".join(reads))


def sdp_seeds() -> None:
    device = imx_sdp.SdpDevice()

    def command(kind: int, address: int = 0, count: int = 0) -> bytes:
        return struct.pack(">HIBI", kind, address, 0x20, count).ljust(16, b"\0")

    status = device.handle(imx_sdp.REPORT_COMMAND, command(imx_sdp.ERROR_STATUS))
    fuse = device.handle(imx_sdp.REPORT_COMMAND, command(imx_sdp.READ_REGISTER, 0x401F4410, 4))
    hid = b"".join(bytes([len(r)]) + r for r in map(imx_sdp.hid_input_report, status + fuse))
    write("sdp", "hid-fingerprint", b"\0" + hid + b"\0" + hid[:-65] + b"\0")
    serial = b"".join(bytes([len(p)]) + p for _, p in status + fuse)
    write("sdp", "serial-fingerprint", b"\1" + serial + serial)


def discovery_seeds() -> None:
    write("discovery", "reply", discovery.tcpip_reply(4, 9000, 0x40F5849A, 19))
    write("discovery", "reply-without-model", discovery.tcpip_reply(4, 9000, 0x40F5849A, 19)[:8])


def small_seeds() -> None:
    # Packets: a UEI get of a version, a byte-block chunk, a sync byte.
    write("packet", "uei", bytes([4, 7, 0x15, 0x40, 0x20, 0x2F, 0x02, 0x0B, 0x04]))
    write("packet", "bytes", bytes([4, 28]) + bytes(range(26)) + bytes([0x80 | 3]))
    write("options", "update", b"-U\0-d\x000x40F5849A\0-t\0TCPIP\0-b\x001234\0-X\x000x10")
    write("options", "json", b"--json\0-L\0-d\x0040F5849A")
    write("json_report", "names", b'Hub "A" \\ \x01\t\xff\xfe end\0Failed to write file with 28\0'
                                  b'eyJ0.e30.c2ln\x001234\x002.12.3\0x12\x001.0.0')
    write("options", "recover", b"-U\0-t\0RECOVER\0-s\0/dev/ttyUSB0\0-o\x00115200\0-l\0history")
    write("settings", "device", b"CREATED_TIME=Wed Dec  9 10:00:00 2026\nLATEST_TRANSFER=0001.bird\n"
                                b"# comment\n  BUILD = 1234 \nVERSION=1.2.3\n")
    frame = bytes([4, 5, 0x15, 0x40, 0x20, 0, 1])
    write("sharing", "request-and-reply",
          bytes([0, 0, len(frame)]) + frame + bytes([1, 1, len(frame)]) + frame
          + bytes([1, 2, 0, 3, 1, 0, 1]) + bytes([2, 20]) + b"Tolvarine2-Discovery")


if __name__ == "__main__":
    bird_seeds()
    server_seeds()
    lpc_seeds()
    sdp_seeds()
    discovery_seeds()
    small_seeds()
