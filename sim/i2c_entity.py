"""The I2C bus master (command 8, bus index 0) of a module.

  write   [8 bus addr len speed data...] -> [8 bus addr 0 status]
  read    [8 bus addr|1 len speed]       -> [8 bus addr|1 n status, n bytes]
  pullup  [8 bus 1 on]                   -> [8 bus 1 on status]
Status 0 is success; bit 7 set means failure with the error code in the low
7 bits. Only modules on the same module network answer on the bus (at the
I2C address equal to their module address); any other address is not
acknowledged, which the module reports as an I/O error.
"""

from __future__ import annotations

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]

FAILED = 0x80
MAX_TRANSFER = 23


class I2CEntity:
    command = tvwire.CMD_I2C
    count = 1

    def __init__(self) -> None:
        self.pullup = False
        self.writes: list[tuple[int, bytes]] = []   # (I2C address, bytes) acknowledged

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        return tvwire.ERR_INVALID_OPTION

    def error_reply(self, data: bytes, code: int) -> bytes:
        head = bytes(data[:3]).ljust(3, b"\0")
        return head + bytes([0, FAILED | (code & 0x7F)])

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 4:
            return [self.error_reply(data, tvwire.ERR_SHORT_COMMAND)] if len(data) == 3 else []
        bus, address = data[1], data[2]
        if bus >= self.count:
            return [self.error_reply(data, tvwire.ERR_INDEX_RANGE)]
        if address == 1:
            self.pullup = bool(data[3])
            return [bytes(data[:4]) + b"\0"]
        length = data[3]
        if length > MAX_TRANSFER:
            return [self.error_reply(data, tvwire.ERR_SIZE)]
        present = (address & 0xFE) in module.bus_peers()
        if address & 1:
            if not present:
                return [bytes(data[:3]) + bytes([0, FAILED | tvwire.ERR_IO])]
            return [bytes(data[:3]) + bytes([length, 0]) + bytes(length)]
        if not present:
            return [bytes(data[:3]) + bytes([0, FAILED | tvwire.ERR_IO])]
        self.writes.append((address, bytes(data[5:5 + length])))
        return [bytes(data[:3]) + b"\0\0"]
