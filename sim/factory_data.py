"""Factory data (command 0x5E): up to 16 byte records written at the factory,
named by the low 4 bits of a selector.

Reading: [5E sel|40] starts, [5E sel] continues; each reply is
[5E sel, up to 26 bytes]; a full reply (28 bytes of data) means ask again.
Writing: [5E sel|50 chunk] starts, [5E sel|10 chunk] continues; each chunk
is acknowledged [5E sel]. Both end with [5E 20 count(2)], which checks the
count against the bytes moved (a write only takes effect then) and is
answered [5E 00], or [5E 80 code] when the count is wrong.
Errors: [5E sel|80 code].
"""

from __future__ import annotations

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]

START, WRITE, CLOSE, ERROR = 0x40, 0x10, 0x20, 0x80
CHUNK = 26
LIMIT = 4096

DEFAULT_RECORDS = {
    0: b"TOLVARINE FACTORY CAL v1 \x01\x02\x03\x04\x05\x06\x07\x08",
    1: bytes(range(64)),
}


class FactoryData:
    command = tvwire.CMD_FACTORY
    count = 1

    def __init__(self) -> None:
        self.records: dict[int, bytes] = dict(DEFAULT_RECORDS)
        self.reading: tuple[int, int] | None = None         # selector, bytes sent
        self.writing: tuple[int, bytearray] | None = None   # selector, bytes taken

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        return tvwire.ERR_INVALID_OPTION

    def error_reply(self, data: bytes, code: int) -> bytes:
        option = data[1] if len(data) > 1 else 0
        return bytes([tvwire.CMD_FACTORY, ERROR | (option & 0x0F), code & 0xFF])

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 2:
            return []
        option = data[1]
        selector = option & 0x0F
        if option == CLOSE:
            return [self._close(data)]
        if option & WRITE:
            if option & START:
                self.writing = (selector, bytearray())
            if self.writing is None or self.writing[0] != selector:
                return [self.error_reply(data, tvwire.ERR_MODE)]
            if len(self.writing[1]) + len(data) - 2 > LIMIT:
                return [self.error_reply(data, tvwire.ERR_SIZE)]
            self.writing[1].extend(data[2:])
            return [bytes([tvwire.CMD_FACTORY, selector])]
        if option & ~(START | 0x0F):
            return [self.error_reply(data, tvwire.ERR_INVALID_OPTION)]
        if option & START:
            self.reading = (selector, 0)
        if self.reading is None or self.reading[0] != selector:
            return [self.error_reply(data, tvwire.ERR_MODE)]
        record = self.records.get(selector, b"")
        sent = self.reading[1]
        chunk = record[sent:sent + CHUNK]
        self.reading = (selector, sent + len(chunk))
        return [bytes([tvwire.CMD_FACTORY, selector]) + chunk]

    def _close(self, data: bytes) -> bytes:
        if len(data) < 4:
            return self.error_reply(data, tvwire.ERR_SHORT_COMMAND)
        count = data[2] << 8 | data[3]
        reading, writing = self.reading, self.writing
        self.reading = self.writing = None
        if writing is not None:
            if count != len(writing[1]):
                return self.error_reply(data, tvwire.ERR_SIZE)
            self.records[writing[0]] = bytes(writing[1])
        elif reading is None or count != reading[1]:
            return self.error_reply(data, tvwire.ERR_SIZE)
        return bytes([tvwire.CMD_FACTORY, 0])
