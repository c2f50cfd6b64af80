"""Switches that make a module answer wrongly, for tests: no reply, an error
reply with a chosen code, or replies of a wrong length.

A fault matches a command and, optionally, an option: the option code
(low 6 bits of data byte 1) for UEI commands, data byte 1 as it is for the
others (the operation byte of 0x5F, 0x49, store slots and factory data).
"""

from __future__ import annotations

from dataclasses import dataclass, field

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]

SILENT, ERROR, LENGTH = "silent", "error", "length"
FOREVER = -1


@dataclass
class ReplyFault:
    kind: str
    command: int
    option: int | None = None
    value: int = 0          # the error code, or the reply's data length
    count: int = 1          # requests still to spoil; FOREVER for all

    def matches(self, data: bytes) -> bool:
        if not data or data[0] != self.command:
            return False
        if self.option is None:
            return True
        if len(data) < 2:
            return False
        option = data[1] if data[0] in tvwire.NOT_UEI_COMMANDS else data[1] & tvwire.OPTION_MASK
        return option == self.option


@dataclass
class ReplyFaults:
    active: list[ReplyFault] = field(default_factory=list)

    def add(self, fault: ReplyFault) -> None:
        self.active.append(fault)

    def clear(self) -> None:
        self.active.clear()

    def take(self, data: bytes) -> ReplyFault | None:
        """The first fault for this request, used up by one."""
        for fault in self.active:
            if fault.matches(data):
                if fault.count != FOREVER:
                    fault.count -= 1
                    if fault.count <= 0:
                        self.active.remove(fault)
                return fault
        return None


def resize(reply: bytes, length: int) -> bytes:
    """A reply cut or zero-padded to `length` data bytes (at most 28)."""
    length = max(0, min(length, tvwire.MAX_DATA))
    return reply[:length].ljust(length, b"\0")


def parse_target(text: str) -> tuple[int, int | None]:
    """"CMD" or "CMD/OPT" (numbers in any base Python reads)."""
    command, _, option = text.partition("/")
    return int(command, 0), (int(option, 0) if option else None)
