"""The upgrade entity of a simulated module (command 0x5F) and the loader it
starts: what a real module does when the host updates its firmware.

The host first sends loader blocks to the resident firmware (INIT, then per
block PREPARE and DATA packets verified with SUM), then LOAD starts the
loader: the module drops its link and comes back, as after a USB
re-enumeration. Then per firmware block PREPARE, and per piece of at most the
announced block size DATA packets, SUM and WRITE, which puts the piece into
the simulated flash. REBOOT drops the link again and the module comes back
running the new firmware.

Requests are [0x5F, op, ...]; replies [0x5F, op, ...] or [0x5F, 7, status, ...]:

  INIT     0  -> 5F 00 base(4)
  DATA     1  bytes (1..26)            -> 5F 01 count
  LOAD     2                           -> 5F 02, then the link drops
  PREPARE  3  flags address(4)         -> 5F 07 status block_size(2)
  SUM      4                           -> 5F 07 status sum(4)   (since the last SUM)
  WRITE    5  count(2)                 -> 5F 07 status
  REBOOT   6                           (no reply; the link drops)
  option 10 as a UEI set (5F 8A 20|index chunk... seq): the data of one piece
  in byte-array packets, acknowledged once with 5F CA index.

Usable on its own (``ResidentLoader.handle(data) -> replies``) or attached to
a ``module.Module`` with ``attach``.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Callable

CMD_UPGRADE = 0x5F
OP_INIT, OP_DATA, OP_LOAD, OP_PREPARE, OP_SUM, OP_WRITE, OP_REBOOT = range(7)
OP_STATUS = 7
OPTION_DATA_UEI = 10
UEI_SET = 0x80
UEI_SET_REPLY = 0xC0
BYTES_CONTINUE = 0x80
PROTOCOL_FEATURE_POOLED = 1 << 31


@dataclass
class LoaderFaults:
    """Switches that make the loader misbehave, for tests."""
    wrong_count: int = 0          # DATA acknowledgements that report one byte less
    wrong_sum: int = 0            # SUM replies with a sum that is off by one
    refuse_prepare: int = 0       # PREPARE replies with status 1
    refuse_write: int = 0         # WRITE replies with status 1
    silent: set = field(default_factory=set)  # operations that get no reply at all
    block_size_zero: bool = False  # PREPARE announces a block size of 0
    no_return_after_load: bool = False
    reboot_keeps_link: bool = False
    load_resets: bool = False     # after LOAD the connection is reset; the loader accepts at once
    reboot_keeps_build: bool = False   # after REBOOT the module runs its old firmware
    no_return_after_reboot: bool = False
    short_init: bool = False      # INIT reply with only one byte of load base


def _put(image: dict[int, bytearray], block: int, offset: int, data: bytes) -> None:
    """Writes into a block at an offset: a repeated block overwrites itself."""
    buffer = image.setdefault(block, bytearray())
    if len(buffer) < offset:
        buffer.extend(b"\xff" * (offset - len(buffer)))
    buffer[offset:offset + len(data)] = data


class ResidentLoader:
    """The upgrade entity of one module and the loader behind it."""

    def __init__(self, load_base: int = 0x10000000, block_size: int = 256, uei_data: bool = False,
                 pooled: bool = False) -> None:
        self.load_base = load_base
        self.block_size = block_size
        self.uei_data = uei_data      # the module accepts option 10 byte arrays
        self.pooled = pooled          # protocol features announce pooled packets
        self.faults = LoaderFaults()
        self.running_loader = False   # LOAD has started the loader
        self.loader_image: dict[int, bytearray] = {}   # loader blocks by load address
        self.flash: dict[int, bytearray] = {}          # written firmware by block address
        self.prepared: list[tuple[int, int]] = []      # (flags, address) of every PREPARE
        self.reboots = 0
        self.writes: list[tuple[int, int]] = []        # (address, count) of every WRITE taken
        # Firmware blocks must lie in flash (below the loader's RAM); None
        # accepts any address.
        self.flash_range: tuple[int, int] | None = (0, 0x10000000)
        self._block_address = 0
        self._loader_offset = 0
        self._write_address = 0
        self._piece = bytearray()     # bytes received since the last SUM or WRITE
        self._sum = 0
        self._uei_chunks: list[bytes] = []
        self._uei_next = 0
        # Called when the link must drop: after LOAD (comes_back) and REBOOT.
        self.on_link_drop: Callable[[bool], None] = lambda comes_back: None
        # Called after a reboot: the module now runs the new firmware.
        self.on_reboot: Callable[[], None] = lambda: None

    # ------------------------------------------------------------------
    def attach(self, module) -> None:
        """Registers the upgrade command on a module stand-in."""
        module.register(CMD_UPGRADE, lambda _module, packet: self.handle(bytes(packet.data)))

    def flash_image(self) -> dict[int, bytes]:
        return {address: bytes(data) for address, data in self.flash.items()}

    # ------------------------------------------------------------------
    def handle(self, data: bytes) -> list[bytes]:
        """The replies (packet data) to one request's data."""
        if len(data) < 2 or data[0] != CMD_UPGRADE:
            return []
        op = data[1]
        if op & UEI_SET and (op & 0x3F) == OPTION_DATA_UEI:
            return self._uei_data(data)
        if op in self.faults.silent:
            return []
        handler = {
            OP_INIT: self._init, OP_DATA: self._data, OP_LOAD: self._load, OP_PREPARE: self._prepare,
            OP_SUM: self._sum_request, OP_WRITE: self._write, OP_REBOOT: self._reboot,
        }.get(op)
        return handler(data[2:]) if handler else []

    def _status(self, status: int, extra: bytes = b"") -> bytes:
        return bytes([CMD_UPGRADE, OP_STATUS, status]) + extra

    def _init(self, _args: bytes) -> list[bytes]:
        base = struct.pack(">I", self.load_base)
        return [bytes([CMD_UPGRADE, OP_INIT]) + (base[:1] if self.faults.short_init else base)]

    def _accept(self, payload: bytes) -> None:
        self._piece += payload
        self._sum = (self._sum + sum(payload)) & 0xFFFFFFFF

    def _data(self, args: bytes) -> list[bytes]:
        if not 1 <= len(args) <= 26:
            return []
        count = len(args)
        if self.faults.wrong_count > 0:
            # The module says it took less than was sent: the host sends again.
            self.faults.wrong_count -= 1
            return [bytes([CMD_UPGRADE, OP_DATA, count - 1])]
        self._accept(args)
        return [bytes([CMD_UPGRADE, OP_DATA, count])]

    def _uei_data(self, data: bytes) -> list[bytes]:
        # A byte-array set: chunks of up to 24 bytes, each ending in a
        # sequence byte whose bit 7 says that more follow.
        if len(data) < 4:
            return []
        index = data[2] & 0x1F
        sequence = data[-1]
        if (sequence & 0x7F) != self._uei_next & 0x7F:
            self._uei_chunks, self._uei_next = [], 0
            return [bytes([CMD_UPGRADE, UEI_SET_REPLY | OPTION_DATA_UEI, 0x80 | index, 24])]  # aErrPacket
        self._uei_chunks.append(data[3:-1])
        self._uei_next += 1
        if sequence & BYTES_CONTINUE:
            return []
        payload = b"".join(self._uei_chunks)
        self._uei_chunks, self._uei_next = [], 0
        if not self.uei_data:
            return [bytes([CMD_UPGRADE, UEI_SET_REPLY | OPTION_DATA_UEI, 0x80 | index, 29])]
        self._accept(payload)
        return [bytes([CMD_UPGRADE, UEI_SET_REPLY | OPTION_DATA_UEI, index])]

    def _sum_request(self, _args: bytes) -> list[bytes]:
        total = self._sum
        if self.faults.wrong_sum > 0:
            self.faults.wrong_sum -= 1
            total = (total + 1) & 0xFFFFFFFF
        self._sum = 0
        if not self.running_loader:
            # Resident firmware: the verified bytes are part of the loader.
            _put(self.loader_image, self._block_address, self._loader_offset, self._piece)
            self._loader_offset += len(self._piece)
            self._piece = bytearray()
        return [self._status(0, struct.pack(">I", total))]

    def _prepare(self, args: bytes) -> list[bytes]:
        if len(args) < 5:
            return [self._status(1, b"\x00\x00")]
        flags, address = args[0], struct.unpack(">I", args[1:5])[0]
        self.prepared.append((flags, address))
        if flags > 7 or self.faults.refuse_prepare > 0 or not self._valid_address(address):
            self.faults.refuse_prepare = max(0, self.faults.refuse_prepare - 1)
            return [self._status(1, b"\x00\x00")]
        self._block_address = self._write_address = address
        self._loader_offset = 0
        self._piece = bytearray()
        size = 0 if self.faults.block_size_zero else self.block_size
        return [self._status(0, struct.pack(">H", size))]

    def _valid_address(self, address: int) -> bool:
        if address & 3:
            return False  # flash pages and loader RAM take whole words
        if not self.running_loader or self.flash_range is None:
            return True
        start, size = self.flash_range
        return start <= address < start + size

    def _write(self, args: bytes) -> list[bytes]:
        if len(args) < 2:
            return [self._status(1)]
        count = struct.unpack(">H", args[:2])[0]
        if self.faults.refuse_write > 0 or count != len(self._piece):
            self.faults.refuse_write = max(0, self.faults.refuse_write - 1)
            self._piece = bytearray()
            return [self._status(1)]
        _put(self.flash, self._block_address, self._write_address - self._block_address, self._piece)
        self.writes.append((self._write_address, count))
        self._write_address += count
        self._piece = bytearray()
        return [self._status(0)]

    def _load(self, _args: bytes) -> list[bytes]:
        self.running_loader = True
        self._piece = bytearray()
        self._sum = 0
        # The confirmation is sent, then the module re-enumerates.
        self.on_link_drop(not self.faults.no_return_after_load)
        return [bytes([CMD_UPGRADE, OP_LOAD])]

    def _reboot(self, _args: bytes) -> list[bytes]:
        self.reboots += 1
        self.running_loader = False
        self.on_reboot()
        if not self.faults.reboot_keeps_link:
            self.on_link_drop(not self.faults.no_return_after_reboot)
        return []
