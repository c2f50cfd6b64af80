"""The system entity (command 3, index 0): the module's identity, its
addresses, power and temperature readings, and a few settings.

Units are the module's own: voltages in microvolts, currents in microamps,
power in microwatts, temperatures in millionths of a degree Celsius, uptime
in seconds. Settings live until the module forgets them: a reset keeps them,
the factory-default calls restore them.

Option 39 is the chip's 128-bit unique identifier, read a 32-bit word at a
time: the get carries the word's subindex (0 to 3) as its value byte, and
the reply is the word alone, big-endian. A get without the subindex byte
reads word 0; a subindex above 3 is refused with an index error.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any, Callable

try:
    from . import tvwire, uei
except ImportError:
    import tvwire  # type: ignore[no-redef]
    import uei  # type: ignore[no-redef]

U8, U32, S32, BYTES, CALL = uei.U8, uei.U32, uei.S32, uei.BYTES, uei.CALL


@dataclass(frozen=True)
class Option:
    name: str
    kind: str
    settable: bool = False
    gettable: bool = True


OPTIONS: dict[int, Option] = {
    1: Option("module", U8),
    2: Option("router", U8, settable=True),
    3: Option("hb_interval", U8, settable=True),
    4: Option("led", U8, settable=True),
    6: Option("boot_slot", U8, settable=True),
    7: Option("version", U32),
    8: Option("model", U8),
    9: Option("serial", U32),
    10: Option("save", CALL),
    11: Option("reset", CALL),
    12: Option("input_voltage", U32),
    13: Option("hardware_offset", U8),
    14: Option("base_address", U8),
    15: Option("software_offset", U8, settable=True),
    16: Option("router_address_setting", U8),
    20: Option("route_to_me", U8, settable=True, gettable=False),
    21: Option("input_current", U32),
    22: Option("uptime", U32),
    23: Option("maximum_temperature", S32),
    24: Option("log_events", CALL),
    25: Option("unregulated_voltage", S32),
    26: Option("unregulated_current", S32),
    27: Option("temperature", S32),
    28: Option("minimum_temperature", S32),
    29: Option("input_power_source", U8),
    30: Option("input_power_behavior", U8, settable=True),
    31: Option("input_power_behavior_config", BYTES, settable=True),
    32: Option("name", BYTES, settable=True),
    33: Option("power_limit", U32),
    34: Option("power_limit_max", U32, settable=True),
    35: Option("power_limit_state", U32),
    36: Option("reset_entity_to_factory_defaults", CALL),
    37: Option("reset_device_to_factory_defaults", CALL),
    38: Option("link_interface", U8, settable=True),
    39: Option("fingerprint", U32),
    40: Option("hardware_version", U32),
    41: Option("errors", U32),
    42: Option("led_max_brightness", U8, settable=True),
    43: Option("build", U32),
    45: Option("protocol_features", U32),
}
BY_NAME = {option.name: code for code, option in OPTIONS.items()}

# Readings and settings a fresh module reports; identity options are read
# from the module itself.
DEFAULTS: dict[str, Any] = {
    "hb_interval": 10,
    "led": 0,
    "boot_slot": 255,
    "input_voltage": 5_020_000,
    "hardware_offset": 0,
    "software_offset": 0,
    "input_current": 245_000,
    "maximum_temperature": 48_250_000,
    "unregulated_voltage": 12_010_000,
    "unregulated_current": 310_000,
    "temperature": 31_500_000,
    "minimum_temperature": 17_750_000,
    "input_power_source": 1,
    "input_power_behavior": 0,
    "input_power_behavior_config": bytes.fromhex("00000001" "00000002" "000003e8" "00000000"),
    "power_limit": 60_000_000,
    "power_limit_max": 100_000_000,
    "power_limit_state": 0,
    "link_interface": 0,
    "hardware_version": 0x01020000,
    "errors": 0,
    "led_max_brightness": 255,
}
PROTOCOL_FEATURES = 0x00000007       # byte blocks, streams, store slots
FEATURE_POOLED_PACKETS = 1 << 31


class SystemEntity:
    command = tvwire.CMD_SYSTEM
    count = 1

    def __init__(self) -> None:
        self.settings: dict[str, Any] = dict(DEFAULTS)
        self.assembler = uei.BlockAssembler()
        self.calls: list[str] = []      # call options received, for tests
        self.started = time.monotonic()

    # What each option reads as on a given module ---------------------------
    def read(self, module, name: str) -> Any:
        dynamic: dict[str, Callable[[], Any]] = {
            "module": lambda: module.address,
            "router": lambda: module.router,
            "version": lambda: module.version,
            "model": lambda: module.model,
            "serial": lambda: module.serial,
            "base_address": lambda: module.address,
            "router_address_setting": lambda: module.router,
            "uptime": lambda: int(time.monotonic() - self.started),
            "name": lambda: module.name,
            "build": lambda: module.build,
            "protocol_features": lambda: PROTOCOL_FEATURES | (FEATURE_POOLED_PACKETS if module.pooled else 0),
            "fingerprint": lambda: list(module.fingerprint),
        }
        getter = dynamic.get(name)
        return getter() if getter else self.settings[name]

    def write(self, module, name: str, value: Any) -> None:
        if name == "router":
            module.router = value
        elif name == "name":
            module.name = value
        elif name == "route_to_me":
            module.route_to_me = value
        elif name == "led":
            self.settings[name] = 1 if value else 0
        else:
            self.settings[name] = value

    def call(self, module, name: str) -> None:
        self.calls.append(name)
        if name == "reset_entity_to_factory_defaults":
            self.settings = dict(DEFAULTS)
        elif name == "reset_device_to_factory_defaults":
            self.settings = dict(DEFAULTS)
            module.name = module.factory_name
            module.router = module.factory_router
        elif name == "reset":
            module.restart()

    # Packets ---------------------------------------------------------------
    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        spec = OPTIONS.get(option)
        if index >= self.count:
            return tvwire.ERR_INDEX_RANGE
        if spec is None:
            return tvwire.ERR_INVALID_OPTION
        if flags & tvwire.OPTION_SET and not (spec.settable or spec.kind == CALL):
            return tvwire.ERR_PERMISSION
        if flags & tvwire.OPTION_GET and not (spec.gettable and spec.kind != CALL):
            return tvwire.ERR_PERMISSION
        return 0

    def error_reply(self, data: bytes, code: int) -> bytes:
        return uei.error_reply(data, code)

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 3:
            return [uei.error_reply(data + b"\0\0", tvwire.ERR_SHORT_COMMAND)] if len(data) == 2 else []
        code, index = uei.option_code(data), uei.index_of(data)
        spec = OPTIONS.get(code)
        if index >= self.count:
            return [uei.error_reply(data, tvwire.ERR_INDEX_RANGE)]
        if spec is None:
            return [uei.error_reply(data, tvwire.ERR_INVALID_OPTION)]
        if uei.is_get(data):
            return self._get(module, data, spec)
        if uei.is_set(data):
            return self._set(module, data, spec)
        return [uei.error_reply(data, tvwire.ERR_MODE)]

    def _get(self, module, data: bytes, spec: Option) -> list[bytes]:
        if not spec.gettable or spec.kind == CALL:
            return [uei.error_reply(data, tvwire.ERR_PERMISSION)]
        value = self.read(module, spec.name)
        if spec.name == "fingerprint":
            subindex = data[3] if len(data) > 3 else 0
            if subindex >= len(value):
                return [uei.error_reply(data, tvwire.ERR_INDEX_RANGE)]
            value = value[subindex]
        if spec.kind == BYTES:
            return uei.block_packets(uei.value_reply(data), bytes(value))
        return [uei.value_reply(data, uei.encode(spec.kind, value))]

    def _set(self, module, data: bytes, spec: Option) -> list[bytes]:
        if spec.kind == CALL:
            self.call(module, spec.name)
            return [uei.value_reply(data)]
        if not spec.settable:
            return [uei.error_reply(data, tvwire.ERR_PERMISSION)]
        if spec.kind == BYTES:
            state, result = self.assembler.feed(uei.option_code(data), data)
            if state == "more":
                return []
            if state == "error":
                return [uei.error_reply(data, int(result))]  # type: ignore[arg-type]
            self.write(module, spec.name, result)
            return [uei.value_reply(data)]
        width = uei.WIDTH[spec.kind]
        if len(data) < 3 + width:
            return [uei.error_reply(data, tvwire.ERR_SHORT_COMMAND)]
        raw = data[3:3 + width]
        self.write(module, spec.name, uei.decode(spec.kind, raw))
        return [uei.value_reply(data, raw if spec.name != "led" else bytes([self.settings["led"]]))]
