"""Value streams: the subscriptions a module keeps (command 0x5D) and the
sample packets it sends unasked.

  [5D 81 20 key(4)] enable   -> [5D C1 00 key(4)]
  [5D 82 20 key(4)] disable  -> [5D C2 00 key(4)]
  [5D 41 20]        streaming? -> [5D 01 00 state]
The key is module, command, option, index (one byte each, most significant
first); 0xFF in the command, option or index byte stands for any.

A sample is [command, option, index|0x40, kind, ...]:
  kinds 1, 2, 3 (8, 16, 32-bit):  timestamp(8) value, then sequence byte 0
  kinds 5, 6, 7 (same, with a subindex): subindex timestamp(8) value, 0
Kind 4 is a byte block sent as stream packets: [command, option,
index|0x40, chunk..., sequence] with the continue bit on all but the last.
"""

from __future__ import annotations

import struct
import time

try:
    from . import tvwire, uei
except ImportError:
    import tvwire  # type: ignore[no-redef]
    import uei  # type: ignore[no-redef]

OPTION_STATUS, OPTION_ENABLE, OPTION_DISABLE = 1, 1, 2
WIDTHS = {1: 1, 2: 2, 3: 4, 5: 1, 6: 2, 7: 4}
ANY = 0xFF


def sample(command: int, option: int, index: int, kind: int, value: int,
           subindex: int = 0, timestamp: int | None = None) -> bytes:
    """The data of one sample packet of kind 1-3 or 5-7."""
    if kind not in WIDTHS:
        raise ValueError("sample kinds are 1-3 and 5-7")
    if timestamp is None:
        timestamp = time.monotonic_ns() // 1000
    head = bytes([command, option & tvwire.OPTION_MASK, tvwire.SPEC_STREAM | (index & 0x1F), kind])
    if kind >= 5:
        head += bytes([subindex & 0xFF])
    width = WIDTHS[kind]
    value_bytes = (value & ((1 << (8 * width)) - 1)).to_bytes(width, "big")
    return head + struct.pack(">II", (timestamp >> 32) & 0xFFFFFFFF, timestamp & 0xFFFFFFFF) + value_bytes + b"\0"


def block_stream(command: int, option: int, index: int, payload: bytes) -> list[bytes]:
    """A byte block as stream packets (kind 4)."""
    head = bytes([command, option & tvwire.OPTION_MASK, tvwire.SPEC_STREAM | (index & 0x1F)])
    return uei.block_packets(head, payload)


class StreamEntity:
    command = tvwire.CMD_STREAM
    count = 1

    def __init__(self) -> None:
        self.keys: set[int] = set()
        self.requests: list[tuple[str, int]] = []   # ("enable"/"disable", key), in order
        self.sent = 0

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        return 0 if option in (OPTION_ENABLE, OPTION_DISABLE) and index == 0 else tvwire.ERR_INVALID_OPTION

    def error_reply(self, data: bytes, code: int) -> bytes:
        return uei.error_reply(data, code)

    def subscribed(self, command: int, option: int, index: int) -> bool:
        for key in self.keys:
            parts = key.to_bytes(4, "big")[1:]
            if all(p in (ANY, v) for p, v in zip(parts, (command, option, index))):
                return True
        return False

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 3:
            return []
        code = uei.option_code(data)
        if uei.is_get(data) and code == OPTION_STATUS:
            return [uei.value_reply(data, bytes([1 if self.keys else 0]))]
        if not uei.is_set(data) or code not in (OPTION_ENABLE, OPTION_DISABLE):
            return [uei.error_reply(data, tvwire.ERR_INVALID_OPTION)]
        if len(data) < 7:
            return [uei.error_reply(data, tvwire.ERR_SHORT_COMMAND)]
        key = int.from_bytes(data[3:7], "big")
        if code == OPTION_ENABLE:
            self.keys.add(key)
            self.requests.append(("enable", key))
        else:
            # A disable with wildcards ends every stream it covers.
            self.keys = {k for k in self.keys if not _covers(key, k)}
            self.requests.append(("disable", key))
        return [uei.value_reply(data, bytes(data[3:7]))]


def current_samples(module) -> list[bytes]:
    """One sample of every enabled stream that names one value (no wildcard
    in command, option or index): system options report what a get would,
    anything else a count of the samples sent."""
    out = []
    for key in sorted(module.streams.keys):
        _, command, option, index = key.to_bytes(4, "big")
        if ANY in (command, option, index):
            continue
        module.streams.sent += 1
        kind, value = 3, module.streams.sent
        if command == tvwire.CMD_SYSTEM and index == 0:
            spec = module.system_options.get(option)
            if spec is not None and spec.kind in uei.WIDTH:
                value = module.system.read(module, spec.name)
                kind = {1: 1, 2: 2, 4: 3}[uei.WIDTH[spec.kind]]
        out.append(sample(command, option, index, kind, value))
    return out


def _covers(pattern: int, key: int) -> bool:
    a, b = pattern.to_bytes(4, "big"), key.to_bytes(4, "big")
    return a[0] == b[0] and all(p in (ANY, v) for p, v in zip(a[1:], b[1:]))
