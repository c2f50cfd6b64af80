"""Wire format of the Tolvarine packet protocol, as a module sees it.

A packet travels as: address byte, length byte (0..28), then `length` data
bytes. No checksum, no start marker. Module addresses are even and non-zero;
the host also sends two control packets to odd addresses:

* 0xAD, length 0: "what is your module address?" (the synchronisation
  request); the module answers with a zero-length packet from its address.
* 0xAF, length 1: route control, data 1 when a link starts, 0 when it stops.

Command 0 with length 2 is the heartbeat: the module sends (A, 2, 0, v) with
v = 0 (up) or 1 (down); the host answers (A, 2, 0, v + 2).
"""

from __future__ import annotations

from dataclasses import dataclass, field

MAX_DATA = 28
SYNC_ADDRESS = 0xAD
ROUTE_ADDRESS = 0xAF

CMD_HEARTBEAT = 0
CMD_SYSTEM = 3
CMD_STORE = 4
CMD_I2C = 8
CMD_ECHO = 23
CMD_INFO = 0x49
CMD_STREAM = 0x5D
CMD_FACTORY = 0x5E
CMD_UPGRADE = 0x5F

# Command bytes whose packets are not UEI exchanges (no option/specifier).
NOT_UEI_COMMANDS = frozenset({0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175})

# UEI option byte: bits 0-5 option code, 0x40 get, 0x80 set (0xC0 in a reply
# to a set). Specifier byte: bits 0-4 index, 0x20 set by the host on
# requests, 0x40 stream value, 0x80 error (next byte is an error code).
OPTION_MASK = 0x3F
OPTION_GET = 0x40
OPTION_SET = 0x80
SPEC_INDEX_MASK = 0x1F
SPEC_REQUEST = 0x20
SPEC_STREAM = 0x40
SPEC_ERROR = 0x80

SYSTEM_OPTION_MODEL = 8

# Device error codes carried in error replies (the library's aErr numbers).
ERR_NONE = 0
ERR_PARAM = 2
ERR_NOT_FOUND = 3
ERR_IO = 6
ERR_MODE = 7
ERR_PERMISSION = 12
ERR_RANGE = 13
ERR_SIZE = 14
ERR_OVERRUN = 15
ERR_TIMEOUT = 18
ERR_UNIMPLEMENTED = 21
ERR_PACKET = 24
ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29
ERR_RESOURCE = 30


@dataclass
class Packet:
    address: int
    data: bytes = b""

    def __post_init__(self) -> None:
        self.data = bytes(self.data)
        if not 0 <= self.address <= 0xFF:
            raise ValueError("address out of range")
        if len(self.data) > MAX_DATA:
            raise ValueError("packet data longer than 28 bytes")

    @property
    def command(self) -> int | None:
        return self.data[0] if self.data else None

    def encode(self) -> bytes:
        return bytes([self.address, len(self.data)]) + self.data

    def hex(self) -> str:
        return self.encode().hex()

    @classmethod
    def decode(cls, wire: bytes) -> "Packet":
        if len(wire) < 2 or wire[1] != len(wire) - 2:
            raise ValueError("not one wire packet")
        return cls(wire[0], wire[2:])


@dataclass
class HostFrameParser:
    """Assembles packets from the host's byte stream.

    A byte that cannot start a packet (address 0) or a length above 28 is
    dropped and counted, so the parser finds its feet again on garbage.
    """

    buffer: bytearray = field(default_factory=bytearray)
    framing_errors: int = 0

    def feed(self, data: bytes) -> list[Packet]:
        self.buffer += data
        packets: list[Packet] = []
        while self.buffer:
            if self.buffer[0] == 0:
                del self.buffer[0]
                self.framing_errors += 1
                continue
            if len(self.buffer) < 2:
                break
            length = self.buffer[1]
            if length > MAX_DATA:
                del self.buffer[0]
                self.framing_errors += 1
                continue
            if len(self.buffer) < 2 + length:
                break
            packets.append(Packet(self.buffer[0], bytes(self.buffer[2:2 + length])))
            del self.buffer[:2 + length]
        return packets


def heartbeat(address: int, value: int) -> Packet:
    return Packet(address, bytes([CMD_HEARTBEAT, value]))


def is_heartbeat_answer(packet: Packet) -> bool:
    return len(packet.data) == 2 and packet.data[0] == CMD_HEARTBEAT and packet.data[1] in (2, 3)
