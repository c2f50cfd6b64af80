"""UEI exchanges as a module answers them: typed values, error replies and
byte blocks split into sequence-numbered packets.

A request is [command, option, specifier, value...]; the option carries 0x40
for a get and 0x80 for a set, the specifier the entity index (and 0x20, set
by the host). A get is answered with the bare option code, a set with the
code | 0xC0; both with the bare index. An error reply sets bit 7 of the
specifier and carries the error code as its value byte.

A byte block travels as packets [command, option, specifier, up to 24 bytes,
sequence], where the sequence byte counts packets from 0 modulo 128 and its
bit 7 says that more packets follow. An empty block is one packet with no
payload and sequence 0.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

try:
    from . import tvwire
except ImportError:  # run as a script from sim/
    import tvwire  # type: ignore[no-redef]

U8, U16, U32, S32, BYTES, CALL = "u8", "u16", "u32", "s32", "bytes", "call"
WIDTH = {U8: 1, U16: 2, U32: 4, S32: 4}
CHUNK = 24
MORE = 0x80


def option_code(data: bytes) -> int:
    return data[1] & tvwire.OPTION_MASK


def index_of(data: bytes) -> int:
    return data[2] & tvwire.SPEC_INDEX_MASK


def is_get(data: bytes) -> bool:
    return bool(data[1] & tvwire.OPTION_GET) and not data[1] & tvwire.OPTION_SET


def is_set(data: bytes) -> bool:
    return bool(data[1] & tvwire.OPTION_SET) and not data[1] & tvwire.OPTION_GET


def reply_option(data: bytes) -> int:
    """The option byte of the reply to a request."""
    code = option_code(data)
    return code | 0xC0 if data[1] & tvwire.OPTION_SET else code


def encode(kind: str, value: int) -> bytes:
    if kind == U8:
        return bytes([value & 0xFF])
    if kind == U16:
        return struct.pack(">H", value & 0xFFFF)
    if kind in (U32, S32):
        return struct.pack(">I", value & 0xFFFFFFFF)
    return b""


def decode(kind: str, raw: bytes) -> int:
    if kind == S32:
        return struct.unpack(">i", raw)[0]
    return int.from_bytes(raw, "big")


def value_reply(data: bytes, value: bytes = b"") -> bytes:
    return bytes([data[0], reply_option(data), index_of(data)]) + value


def error_reply(data: bytes, code: int) -> bytes:
    option = reply_option(data) if len(data) > 1 else 0
    index = index_of(data) if len(data) > 2 else 0
    return bytes([data[0], option, tvwire.SPEC_ERROR | index, code & 0xFF])


def block_packets(head: bytes, payload: bytes) -> list[bytes]:
    """A byte block as packet data, each [head (3 bytes), chunk, sequence]."""
    chunks = [payload[at:at + CHUNK] for at in range(0, len(payload), CHUNK)] or [b""]
    out = []
    for n, chunk in enumerate(chunks):
        more = MORE if n < len(chunks) - 1 else 0
        out.append(bytes(head) + chunk + bytes([more | (n & 0x7F)]))
    return out


@dataclass
class BlockAssembler:
    """Collects the packets of byte-block sets, one transfer per key."""

    limit: int = 1 << 20
    pending: dict = field(default_factory=dict)   # key -> [next sequence, bytearray]

    def feed(self, key, data: bytes) -> tuple[str, bytes | int]:
        """("more", b""), ("done", payload) or ("error", code) for one packet."""
        if len(data) < 4:
            self.pending.pop(key, None)
            return "error", tvwire.ERR_SHORT_COMMAND
        sequence = data[-1]
        expected, buffer = self.pending.get(key, (0, bytearray()))
        if sequence & 0x7F != expected:
            # A lost or repeated packet spoils the whole block.
            self.pending.pop(key, None)
            return "error", tvwire.ERR_PACKET
        buffer += data[3:-1]
        if len(buffer) > self.limit:
            self.pending.pop(key, None)
            return "error", tvwire.ERR_SIZE
        if sequence & MORE:
            self.pending[key] = ((expected + 1) & 0x7F, buffer)
            return "more", b""
        self.pending.pop(key, None)
        return "done", bytes(buffer)
