#!/usr/bin/env python3
"""A simulated NXP LPC1768 sitting in its ROM boot loader, reachable over a
pseudo-terminal that stands in for its serial port.

What it answers (ISP command lines end in CR LF, or LF alone):

* "?" then the dialogue "Synchronized" / crystal frequency in kHz, each
  answered "OK"; every received character is echoed from then on until
  "A 0" switches echo off ("A 1" switches it on again);
* return codes as decimal lines ("0" = CMD_SUCCESS ...);
* K (boot code version: major line, minor line), J (part id), N (four
  words of the device's fingerprint), U 23130 (unlock), B baud stop,
  P/E first last (prepare/erase sectors), I first last (blank check),
  W address count and R address count (uuencoded lines, a decimal checksum
  after every 20 lines or at the end, answered/expected "OK" or "RESEND"),
  C flash ram count (copy RAM to flash: bits can only be cleared, as in
  real flash, so flash must be erased first), M a b count (compare),
  G address T|A (go: the chip stops listening until "reset").

Memory: flash 512 KiB at 0 in sectors 0-15 of 4 KiB and 16-29 of 32 KiB;
RAM 32 KiB at 0x10000000 and 32 KiB at 0x2007C000.

Control channel (TCP on 127.0.0.1, one command a line, one reply line
beginning "ok" or "err"):

  ping                       ok
  fingerprint W0 W1 W2 W3    set the words N reports (numbers, any base)
  resend N                   answer the next N W checksums with RESEND
  bad_read_checksum N        send a wrong checksum in the next N R groups
  silent 0|1                 (1) neither echo nor answer anything
  code LETTER N|off          answer command LETTER with return code N
  refuse_sync 0|1            (1) ignore "?"
  flash ADDR LEN             ok HEX      flash contents
  ram ADDR LEN               ok HEX      RAM contents
  dump_flash FILE            write the whole flash to FILE
  state                      ok JSON     echo, unlocked, synced, go address,
                                         counters
  commands                   ok JSON     every command line received
  reset                      back to the boot loader (unsynced, echo on)
  quit                       end the stand-in

Run "python3 sim/lpc_isp.py --help" for the command line. Importable as
sim.lpc_isp: LpcIspChip is the device logic, start() runs the stand-in in a
child process for tests.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import serial_standin  # type: ignore[no-redef]
else:
    from . import serial_standin

PART_ID_LPC1768 = 0x26013F37
UNLOCK_CODE = 23130
FLASH_SIZE = 0x80000
RAM_REGIONS = ((0x10000000, 0x8000), (0x2007C000, 0x8000))
BYTES_PER_LINE = 45
LINES_PER_CHECKSUM = 20
COPY_SIZES = (256, 512, 1024, 4096)

CMD_SUCCESS = 0
INVALID_COMMAND = 1
SRC_ADDR_ERROR = 2
DST_ADDR_ERROR = 3
SRC_ADDR_NOT_MAPPED = 4
DST_ADDR_NOT_MAPPED = 5
COUNT_ERROR = 6
INVALID_SECTOR = 7
SECTOR_NOT_BLANK = 8
SECTOR_NOT_PREPARED = 9
COMPARE_ERROR = 10
PARAM_ERROR = 12
ADDR_ERROR = 13
ADDR_NOT_MAPPED = 14
CMD_LOCKED = 15
INVALID_CODE = 16
INVALID_BAUD_RATE = 17
INVALID_STOP_BIT = 18

BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)


def sector_table() -> list[tuple[int, int]]:
    """(start, size) of sectors 0-29."""
    rows = [(n * 0x1000, 0x1000) for n in range(16)]
    rows += [(0x10000 + (n - 16) * 0x8000, 0x8000) for n in range(16, 30)]
    return rows


SECTORS = sector_table()


def sector_of(address: int) -> int:
    for number, (start, size) in enumerate(SECTORS):
        if start <= address < start + size:
            return number
    return len(SECTORS)


def uu_char(value: int) -> int:
    value &= 0x3F
    return 0x60 if value == 0 else value + 32


def uu_encode_line(data: bytes) -> bytes:
    out = bytearray([uu_char(len(data))])
    for i in range(0, len(data), 3):
        group = data[i:i + 3] + bytes(3 - len(data[i:i + 3]))
        bits = (group[0] << 16) | (group[1] << 8) | group[2]
        out += bytes(uu_char(bits >> shift) for shift in (18, 12, 6, 0))
    return bytes(out)


def uu_decode_line(line: bytes) -> bytes:
    if not line:
        return b""
    n = (line[0] - 32) & 0x3F
    out = bytearray()
    body = line[1:]
    for i in range(0, len(body) - 3, 4):
        values = [(c - 32) & 0x3F for c in body[i:i + 4]]
        bits = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3]
        out += bytes([(bits >> 16) & 0xFF, (bits >> 8) & 0xFF, bits & 0xFF])
        if len(out) >= n:
            break
    return bytes(out[:n])


class LpcIspChip:
    """The boot loader's behaviour; bytes in through feed(), bytes out."""

    def __init__(self, fingerprint=(0x1A2B3C4D, 0x11223344, 0x55667788, 0x99AABBCC),
                 part_id: int = PART_ID_LPC1768, boot_version=(4, 1)) -> None:
        self.fingerprint = list(fingerprint)
        self.part_id = part_id
        self.boot_version = boot_version
        self.flash = bytearray(b"\xff" * FLASH_SIZE)
        self.ram = {start: bytearray(size) for start, size in RAM_REGIONS}
        self.commands: list[str] = []
        self.resend_next = 0
        self.bad_read_checksums = 0
        self.silent = False
        self.forced_codes: dict[str, int] = {}
        self.refuse_sync = False
        self.flash_out: str | None = None
        self.reset()

    # State ---------------------------------------------------------------

    def reset(self) -> None:
        self.state = "unsynced"
        self.echo = True
        self.unlocked = False
        self.prepared: set[int] = set()
        self.line = bytearray()
        self.go_address: int | None = None
        self.transfer: dict | None = None
        self.counters = {"write_groups": 0, "resends_sent": 0, "read_groups": 0, "resends_received": 0}

    # Memory --------------------------------------------------------------

    def region(self, address: int, count: int):
        """(buffer, offset, kind) holding [address, address + count), or None."""
        if 0 <= address and address + count <= FLASH_SIZE:
            return self.flash, address, "flash"
        for start, buffer in self.ram.items():
            if start <= address and address + count <= start + len(buffer):
                return buffer, address - start, "ram"
        return None

    def read_memory(self, address: int, count: int) -> bytes:
        found = self.region(address, count)
        if found is None:
            raise ValueError("address not mapped")
        buffer, offset, _ = found
        return bytes(buffer[offset:offset + count])

    # Byte input ----------------------------------------------------------

    def feed(self, data: bytes) -> bytes:
        out = bytearray()
        if self.silent or self.state == "running":
            return b""
        for byte in data:
            if self.state == "unsynced":
                if byte == ord("?") and not self.refuse_sync:
                    out += b"Synchronized\r\n"
                    self.state = "sync_word"
                    self.line.clear()
                continue
            if self.echo:
                out.append(byte)
            if byte == ord("\n"):
                text = bytes(self.line).rstrip(b"\r")
                self.line.clear()
                out += self.on_line(text)
            else:
                self.line.append(byte)
        return bytes(out)

    def on_line(self, text: bytes) -> bytes:
        if self.state == "sync_word":
            if text == b"Synchronized":
                self.state = "sync_crystal"
                return b"OK\r\n"
            self.state = "unsynced"
            return b""
        if self.state == "sync_crystal":
            if text.isdigit():
                self.state = "ready"
                return b"OK\r\n"
            self.state = "unsynced"
            return b""
        if self.state == "write_data":
            return self.on_write_line(text)
        if self.state == "read_wait":
            return self.on_read_answer(text)
        return self.on_command(text.decode("ascii", "replace"))

    # Commands ------------------------------------------------------------

    @staticmethod
    def code(value: int) -> bytes:
        return b"%d\r\n" % value

    def on_command(self, line: str) -> bytes:
        words = line.split()
        if not words:
            return b""
        self.commands.append(line)
        letter, args = words[0], words[1:]
        if letter in self.forced_codes:
            return self.code(self.forced_codes[letter])
        handler = getattr(self, "cmd_" + letter, None) if len(letter) == 1 else None
        if handler is None:
            return self.code(INVALID_COMMAND)
        try:
            numbers = [int(a) for a in args if a not in ("T", "A")]
        except ValueError:
            return self.code(PARAM_ERROR)
        try:
            return handler(numbers, args)
        except IndexError:
            return self.code(PARAM_ERROR)

    def cmd_U(self, numbers, _args) -> bytes:
        if numbers[0] != UNLOCK_CODE:
            return self.code(INVALID_CODE)
        self.unlocked = True
        return self.code(CMD_SUCCESS)

    def cmd_A(self, numbers, _args) -> bytes:
        if numbers[0] not in (0, 1):
            return self.code(PARAM_ERROR)
        self.echo = numbers[0] == 1
        return self.code(CMD_SUCCESS)

    def cmd_B(self, numbers, _args) -> bytes:
        if numbers[0] not in BAUD_RATES:
            return self.code(INVALID_BAUD_RATE)
        if numbers[1] not in (1, 2):
            return self.code(INVALID_STOP_BIT)
        return self.code(CMD_SUCCESS)

    def cmd_K(self, _numbers, _args) -> bytes:
        return self.code(CMD_SUCCESS) + b"%d\r\n%d\r\n" % self.boot_version

    def cmd_J(self, _numbers, _args) -> bytes:
        return self.code(CMD_SUCCESS) + b"%d\r\n" % self.part_id

    def cmd_N(self, _numbers, _args) -> bytes:
        return self.code(CMD_SUCCESS) + b"".join(b"%d\r\n" % (w & 0xFFFFFFFF) for w in self.fingerprint)

    def sector_range(self, numbers):
        first, last = numbers[0], numbers[1]
        if not 0 <= first <= last < len(SECTORS):
            return None
        return range(first, last + 1)

    def cmd_P(self, numbers, _args) -> bytes:
        sectors = self.sector_range(numbers)
        if sectors is None:
            return self.code(INVALID_SECTOR)
        self.prepared.update(sectors)
        return self.code(CMD_SUCCESS)

    def cmd_E(self, numbers, _args) -> bytes:
        if not self.unlocked:
            return self.code(CMD_LOCKED)
        sectors = self.sector_range(numbers)
        if sectors is None:
            return self.code(INVALID_SECTOR)
        if not set(sectors) <= self.prepared:
            return self.code(SECTOR_NOT_PREPARED)
        for number in sectors:
            start, size = SECTORS[number]
            self.flash[start:start + size] = b"\xff" * size
        self.prepared.clear()  # a successful erase protects the sectors again
        return self.code(CMD_SUCCESS)

    def cmd_I(self, numbers, _args) -> bytes:
        sectors = self.sector_range(numbers)
        if sectors is None:
            return self.code(INVALID_SECTOR)
        for number in sectors:
            start, size = SECTORS[number]
            for offset in range(start, start + size, 4):
                word = self.flash[offset:offset + 4]
                if word != b"\xff\xff\xff\xff":
                    return self.code(SECTOR_NOT_BLANK) + b"%d\r\n%d\r\n" % (offset, int.from_bytes(word, "little"))
        return self.code(CMD_SUCCESS)

    def check_transfer(self, numbers, ram_only: bool) -> int:
        address, count = numbers[0], numbers[1]
        if address % 4:
            return ADDR_ERROR
        if count % 4 or count <= 0:
            return COUNT_ERROR
        found = self.region(address, count)
        if found is None or (ram_only and found[2] != "ram"):
            return ADDR_NOT_MAPPED
        return CMD_SUCCESS

    def cmd_W(self, numbers, _args) -> bytes:
        status = self.check_transfer(numbers, ram_only=True)
        if status != CMD_SUCCESS:
            return self.code(status)
        self.transfer = {"address": numbers[0], "count": numbers[1], "accepted": 0,
                         "group": bytearray(), "lines": 0}
        self.state = "write_data"
        return self.code(CMD_SUCCESS)

    def on_write_line(self, text: bytes) -> bytes:
        t = self.transfer
        assert t is not None
        done = t["accepted"] + len(t["group"])
        if t["lines"] < LINES_PER_CHECKSUM and done < t["count"]:
            data = uu_decode_line(text)
            t["group"] += data[:t["count"] - done]
            t["lines"] += 1
            return b""
        # The checksum line of the group.
        self.counters["write_groups"] += 1
        try:
            checksum = int(text.decode("ascii").strip())
        except ValueError:
            checksum = -1
        group = bytes(t["group"])
        t["group"] = bytearray()
        t["lines"] = 0
        if self.resend_next > 0 or checksum != sum(group):
            if self.resend_next > 0:
                self.resend_next -= 1
            self.counters["resends_sent"] += 1
            return b"RESEND\r\n"
        buffer, offset, _ = self.region(t["address"] + t["accepted"], len(group)) or (None, 0, "")
        if buffer is not None:
            buffer[offset:offset + len(group)] = group
        t["accepted"] += len(group)
        if t["accepted"] >= t["count"]:
            self.state = "ready"
            self.transfer = None
        return b"OK\r\n"

    def cmd_R(self, numbers, _args) -> bytes:
        status = self.check_transfer(numbers, ram_only=False)
        if status != CMD_SUCCESS:
            return self.code(status)
        self.transfer = {"data": self.read_memory(numbers[0], numbers[1]), "accepted": 0}
        self.state = "read_wait"
        return self.code(CMD_SUCCESS) + self.read_group()

    def read_group(self) -> bytes:
        t = self.transfer
        assert t is not None
        group = t["data"][t["accepted"]:t["accepted"] + BYTES_PER_LINE * LINES_PER_CHECKSUM]
        t["group_length"] = len(group)
        out = bytearray()
        for i in range(0, len(group), BYTES_PER_LINE):
            out += uu_encode_line(group[i:i + BYTES_PER_LINE]) + b"\r\n"
        checksum = sum(group)
        if self.bad_read_checksums > 0:
            self.bad_read_checksums -= 1
            checksum += 1
        self.counters["read_groups"] += 1
        return bytes(out) + b"%d\r\n" % checksum

    def on_read_answer(self, text: bytes) -> bytes:
        t = self.transfer
        assert t is not None
        if text == b"OK":
            t["accepted"] += t["group_length"]
            if t["accepted"] >= len(t["data"]):
                self.state = "ready"
                self.transfer = None
                return b""
            return self.read_group()
        if text == b"RESEND":
            self.counters["resends_received"] += 1
            return self.read_group()
        # Anything else ends the transfer; the line is taken as a command.
        self.state = "ready"
        self.transfer = None
        return self.on_command(text.decode("ascii", "replace"))

    def cmd_C(self, numbers, _args) -> bytes:
        if not self.unlocked:
            return self.code(CMD_LOCKED)
        flash, ram, count = numbers[0], numbers[1], numbers[2]
        if flash % 256:
            return self.code(DST_ADDR_ERROR)
        if ram % 4:
            return self.code(SRC_ADDR_ERROR)
        if count not in COPY_SIZES:
            return self.code(COUNT_ERROR)
        if flash + count > FLASH_SIZE:
            return self.code(DST_ADDR_NOT_MAPPED)
        source = self.region(ram, count)
        if source is None or source[2] != "ram":
            return self.code(SRC_ADDR_NOT_MAPPED)
        if not set(range(sector_of(flash), sector_of(flash + count - 1) + 1)) <= self.prepared:
            return self.code(SECTOR_NOT_PREPARED)
        buffer, offset, _ = source
        for i in range(count):
            self.flash[flash + i] &= buffer[offset + i]  # flash bits only clear
        self.prepared.clear()
        return self.code(CMD_SUCCESS)

    def cmd_M(self, numbers, _args) -> bytes:
        a, b, count = numbers[0], numbers[1], numbers[2]
        if a % 4 or b % 4 or count % 4:
            return self.code(ADDR_ERROR if (a % 4 or b % 4) else COUNT_ERROR)
        try:
            left, right = self.read_memory(a, count), self.read_memory(b, count)
        except ValueError:
            return self.code(ADDR_NOT_MAPPED)
        for i in range(count):
            if left[i] != right[i]:
                return self.code(COMPARE_ERROR) + b"%d\r\n" % (i & ~3)
        return self.code(CMD_SUCCESS)

    def cmd_G(self, numbers, args) -> bytes:
        if not self.unlocked:
            return self.code(CMD_LOCKED)
        if len(args) < 2 or args[1] not in ("T", "A"):
            return self.code(PARAM_ERROR)
        self.go_address = numbers[0]
        self.state = "running"
        return self.code(CMD_SUCCESS)

    # Control channel -----------------------------------------------------

    def control(self, words: list[str]) -> str:
        name, args = words[0], words[1:]
        if name == "ping":
            return ""
        if name == "fingerprint":
            if len(args) != 4:
                raise ValueError("fingerprint needs four words")
            self.fingerprint = [int(a, 0) & 0xFFFFFFFF for a in args]
            return ""
        if name == "resend":
            self.resend_next = int(args[0], 0)
            return ""
        if name == "bad_read_checksum":
            self.bad_read_checksums = int(args[0], 0)
            return ""
        if name == "silent":
            self.silent = args[0] == "1"
            return ""
        if name == "code":
            if args[1] == "off":
                self.forced_codes.pop(args[0], None)
            else:
                self.forced_codes[args[0]] = int(args[1], 0)
            return ""
        if name == "refuse_sync":
            self.refuse_sync = args[0] == "1"
            return ""
        if name == "flash":
            return bytes(self.flash[int(args[0], 0):int(args[0], 0) + int(args[1], 0)]).hex()
        if name == "ram":
            return self.read_memory(int(args[0], 0), int(args[1], 0)).hex()
        if name == "dump_flash":
            with open(args[0], "wb") as handle:
                handle.write(self.flash)
            return ""
        if name == "state":
            return json.dumps({"state": self.state, "echo": self.echo, "unlocked": self.unlocked,
                               "go": self.go_address, "prepared": sorted(self.prepared), **self.counters})
        if name == "commands":
            return json.dumps(self.commands)
        if name == "reset":
            self.reset()
            return ""
        raise ValueError("unknown command " + name)

    def close(self) -> None:
        if self.flash_out:
            with open(self.flash_out, "wb") as handle:
                handle.write(self.flash)


# --------------------------------------------------------------------------
# Running it


def start(*extra: str, timeout: float = 10.0):
    """Starts the stand-in as a child process; returns (process, info dict)."""
    return serial_standin.start(__file__, "LPC", *extra, timeout=timeout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Simulated LPC1768 in its ROM boot loader on a pseudo-terminal, with a text "
                    "control channel for tests.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    serial_standin.add_common_arguments(parser)
    parser.add_argument("--fingerprint", nargs=4, metavar="WORD", type=lambda s: int(s, 0),
                        help="the four words N reports (default 0x1A2B3C4D 0x11223344 0x55667788 0x99AABBCC)")
    parser.add_argument("--part-id", type=lambda s: int(s, 0), default=PART_ID_LPC1768,
                        help="part identifier J reports (default 0x26013F37, LPC1768)")
    parser.add_argument("--flash-in", metavar="FILE", help="initial flash contents (default: erased)")
    parser.add_argument("--flash-out", metavar="FILE", help="write the flash to FILE when the stand-in ends")
    parser.add_argument("--refuse-sync", action="store_true", help="ignore '?' (a chip not in its boot loader)")
    parser.add_argument("--silent", action="store_true", help="answer nothing at all")
    args = parser.parse_args(argv)
    chip = LpcIspChip(part_id=args.part_id)
    if args.fingerprint:
        chip.fingerprint = [w & 0xFFFFFFFF for w in args.fingerprint]
    if args.flash_in:
        with open(args.flash_in, "rb") as handle:
            data = handle.read(FLASH_SIZE)
        chip.flash[:len(data)] = data
    chip.flash_out = args.flash_out
    chip.refuse_sync = args.refuse_sync
    chip.silent = args.silent
    return serial_standin.run(chip, args, "TV-LPC-ISP")


if __name__ == "__main__":
    sys.exit(main())
