"""Store slots (command 4): numbered byte slots in a few stores, read and
written through handles.

  [4 1 store slot]  capacity  -> [4 1 store slot cap(2)]
  [4 2 store slot]  size      -> [4 2 store slot size(2)]
  [4 3 store slot]  open to read  -> [4 3 store slot handle]
  [4 4 store slot]  open to write -> [4 4 store slot handle]   (empties the slot)
  [4 6 handle]      read      -> [4 6 handle, up to 25 bytes]
  [4 7 handle data] write     -> [4 7 handle sum8]   (8-bit sum of the bytes taken)
  [4 8 handle]      close     -> [4 8 handle 0]
An error reply sets bit 7 of the operation byte and carries the code where
the value would be: [4 op|80 store slot code] or [4 op|80 handle code].
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]

OP_CAPACITY, OP_SIZE, OP_OPEN_READ, OP_OPEN_WRITE, OP_READ, OP_WRITE, OP_CLOSE = 1, 2, 3, 4, 6, 7, 8
ERROR = 0x80
READ_CHUNK = 25
MAX_HANDLES = 8

# store -> (slots, capacity of each slot)
LAYOUT = {0: (12, 4096), 1: (1, 8192), 2: (64, 65535)}


@dataclass
class Handle:
    store: int
    slot: int
    writing: bool
    position: int = 0


class StoreSlots:
    command = tvwire.CMD_STORE

    def __init__(self) -> None:
        self.slots: dict[tuple[int, int], bytearray] = {}
        self.handles: dict[int, Handle] = {}

    @property
    def count(self) -> int:
        return len(LAYOUT)

    def subclass_quantity(self, store: int) -> int:
        return LAYOUT.get(store, (0, 0))[0]

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        return tvwire.ERR_INVALID_OPTION

    def contents(self, store: int, slot: int) -> bytes:
        return bytes(self.slots.get((store, slot), b""))

    def fill(self, store: int, slot: int, data: bytes) -> None:
        self._check(store, slot)
        if len(data) > LAYOUT[store][1]:
            raise ValueError("more bytes than the slot holds")
        self.slots[(store, slot)] = bytearray(data)

    def _check(self, store: int, slot: int) -> None:
        if store not in LAYOUT or not 0 <= slot < LAYOUT[store][0]:
            raise ValueError("no such store slot")

    def error_reply(self, data: bytes, code: int) -> bytes:
        op = data[1] if len(data) > 1 else 0
        keys = 2 if op in (OP_CAPACITY, OP_SIZE, OP_OPEN_READ, OP_OPEN_WRITE) else 1
        head = bytes(data[2:2 + keys]).ljust(keys, b"\0")
        return bytes([tvwire.CMD_STORE, op | ERROR]) + head + bytes([code & 0xFF])

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 3:
            return [self.error_reply(data, tvwire.ERR_SHORT_COMMAND)] if len(data) == 2 else []
        op = data[1]
        if op in (OP_CAPACITY, OP_SIZE, OP_OPEN_READ, OP_OPEN_WRITE):
            if len(data) < 4:
                return [self.error_reply(data, tvwire.ERR_SHORT_COMMAND)]
            store, slot = data[2], data[3]
            try:
                self._check(store, slot)
            except ValueError:
                return [self.error_reply(data, tvwire.ERR_INDEX_RANGE)]
            if op == OP_CAPACITY:
                return [bytes(data[:4]) + struct.pack(">H", LAYOUT[store][1])]
            if op == OP_SIZE:
                return [bytes(data[:4]) + struct.pack(">H", len(self.slots.get((store, slot), b"")))]
            handle = self._open(store, slot, op == OP_OPEN_WRITE)
            if handle is None:
                return [self.error_reply(data, tvwire.ERR_RESOURCE)]
            return [bytes(data[:4]) + bytes([handle])]
        if op not in (OP_READ, OP_WRITE, OP_CLOSE):
            return [self.error_reply(data, tvwire.ERR_INVALID_OPTION)]
        handle = self.handles.get(data[2])
        if handle is None:
            return [self.error_reply(data, tvwire.ERR_PARAM)]
        if op == OP_CLOSE:
            del self.handles[data[2]]
            return [bytes(data[:3]) + b"\0"]
        slot = self.slots.setdefault((handle.store, handle.slot), bytearray())
        if op == OP_READ:
            if handle.writing:
                return [self.error_reply(data, tvwire.ERR_MODE)]
            chunk = slot[handle.position:handle.position + READ_CHUNK]
            handle.position += len(chunk)
            return [bytes(data[:3]) + bytes(chunk)]
        if not handle.writing:
            return [self.error_reply(data, tvwire.ERR_MODE)]
        payload = data[3:]
        if len(slot) + len(payload) > LAYOUT[handle.store][1]:
            return [self.error_reply(data, tvwire.ERR_SIZE)]
        slot += payload
        return [bytes(data[:3]) + bytes([sum(payload) & 0xFF])]

    def _open(self, store: int, slot: int, writing: bool) -> int | None:
        free = next((h for h in range(MAX_HANDLES) if h not in self.handles), None)
        if free is None:
            return None
        self.handles[free] = Handle(store, slot, writing)
        if writing:
            self.slots[(store, slot)] = bytearray()
        return free
