"""The text control channel of a stand-in: one command per line, one reply
line starting "ok" or "err". The commands are listed in module.py.

A command may start with "at ADDR" to act on the module at that address
(a module behind the router) instead of the front module.
"""

from __future__ import annotations

import time
from typing import Callable

try:
    from . import firmware, loader as loader_module, reply_faults, streams, system_entity, tvwire, upgrade
except ImportError:
    import firmware  # type: ignore[no-redef]
    import loader as loader_module  # type: ignore[no-redef]
    import reply_faults  # type: ignore[no-redef]
    import streams  # type: ignore[no-redef]
    import system_entity  # type: ignore[no-redef]
    import tvwire  # type: ignore[no-redef]
    import upgrade  # type: ignore[no-redef]

Command = Callable[["object", "object", list], "str | list | None"]
COMMANDS: dict[str, Command] = {}

LOADER_OPS = {"init": 0, "data": 1, "load": 2, "prepare": 3, "sum": 4, "write": 5, "reboot": 6}
COUNTED_LOADER_FAULTS = ("wrong_count", "wrong_sum", "refuse_prepare", "refuse_write")
SWITCH_LOADER_FAULTS = ("block_size_zero", "no_return_after_load", "reboot_keeps_link", "short_init", "load_resets",
                        "reboot_keeps_build", "no_return_after_reboot")


def command(*names: str):
    def register(fn: Command) -> Command:
        for name in names:
            COMMANDS[name] = fn
        return fn
    return register


def num(text: str) -> int:
    return int(text, 0)


def flag(text: str) -> bool:
    return text.lower() not in ("0", "off", "false", "no")


def run(standin, line: str) -> str:
    words = line.split()
    if not words:
        return "err empty"
    module = standin.network.front
    try:
        if words[0] == "at":
            module = standin.network.modules.get(num(words[1]))
            if module is None:
                return "err no module at that address"
            words = words[2:]
            if not words:
                return "err empty"
        handler = COMMANDS.get(words[0])
        if handler is None:
            return "err unknown command"
        result = handler(standin, module, words[1:])
    except (IndexError, ValueError, KeyError, OSError) as error:
        return f"err {error}"
    if result is None:
        return "ok"
    if isinstance(result, list):
        return " ".join(["ok"] + [str(w) for w in result])
    return str(result)


# --- recording ------------------------------------------------------------------

@command("ping")
def _ping(s, m, a):
    return None


@command("packets")
def _packets(s, m, a):
    return list(s.record.packets)


@command("clear")
def _clear(s, m, a):
    s.clear_record()


@command("answers")
def _answers(s, m, a):
    return list(s.record.answers)


@command("routes")
def _routes(s, m, a):
    return list(s.record.routes)


@command("syncs")
def _syncs(s, m, a):
    return [s.record.syncs]


@command("connections")
def _connections(s, m, a):
    return [s.record.connections]


@command("events")
def _events(s, m, a):
    return list(s.record.events)


# --- link-level faults and raw bytes ---------------------------------------

@command("heartbeat")
def _heartbeat(s, m, a):
    s.broadcast(tvwire.heartbeat(s.network.front.address, int(a[0])))


@command("heartbeat_every")
def _heartbeat_every(s, m, a):
    s.heartbeat_every = int(a[0]) / 1000.0
    s.next_heartbeat = time.monotonic() + s.heartbeat_every


@command("send", "garbage")
def _send(s, m, a):
    data = bytes.fromhex("".join(a))
    for channel in s.channels:
        channel.send(data, faulty=False)


@command("drop")
def _drop(s, m, a):
    s.faults.drop = int(a[0])


@command("corrupt")
def _corrupt(s, m, a):
    s.faults.corrupt = int(a[0])


@command("stall")
def _stall(s, m, a):
    s.faults.stall_until = time.monotonic() + int(a[0]) / 1000.0


@command("close")
def _close(s, m, a):
    s.close_tcp()


@command("refuse_sync")
def _refuse_sync(s, m, a):
    s.faults.refuse_sync = flag(a[0])


@command("quit")
def _quit(s, m, a):
    s.running = False


# --- identity and settings -----------------------------------------------------

@command("set")
def _set(s, m, a):
    what, rest = a[0], a[1:]
    if what == "address":
        s.network.move(m, num(rest[0]))
    elif what in ("model", "serial", "build", "router"):
        setattr(m, what, num(rest[0]))
    elif what == "version":
        m.version = firmware.parse_version(rest[0])
    elif what == "name":
        m.name = " ".join(rest).encode("utf-8")
    elif what == "name_hex":
        m.name = bytes.fromhex("".join(rest))
    elif what == "fingerprint":
        if len(rest) != 4:
            return "err a fingerprint is four words, subindex 0 first"
        m.fingerprint = [num(w) & 0xFFFFFFFF for w in rest]
    elif what in system_entity.DEFAULTS:
        value = system_entity.DEFAULTS[what]
        m.system.settings[what] = bytes.fromhex("".join(rest)) if isinstance(value, bytes) else num(rest[0])
    else:
        return "err unknown setting"


@command("option")
def _option(s, m, a):
    code = num(a[0]) if a[0][0].isdigit() else system_entity.BY_NAME[a[0]]
    value = m.system.read(m, system_entity.OPTIONS[code].name)
    if isinstance(value, list):
        return ["0x%08X" % word for word in value]
    return [value.hex() if isinstance(value, bytes) else value]


@command("identity")
def _identity(s, m, a):
    return [f"address={m.address}", f"serial=0x{m.serial:08X}", f"model={m.model}",
            f"version=0x{m.version:08X}", f"version_text={firmware.version_text(m.version)}",
            f"build={m.build}", f"router={m.router}", f"name={m.name.hex()}", f"online={int(m.online)}"]


@command("modules")
def _modules(s, m, a):
    return [f"{mod.address}:{mod.serial:08X}:{mod.model}" for mod in s.network.modules.values()]


@command("route_to_me")
def _route_to_me(s, m, a):
    return [m.route_to_me]


@command("calls")
def _calls(s, m, a):
    return list(m.system.calls)


@command("next_firmware")
def _next_firmware(s, m, a):
    m.next_firmware = firmware.Identity(num(a[0]), a[1], "", "")


# --- streams, slots, factory data, I2C --------------------------------------

@command("streams")
def _streams(s, m, a):
    return [f"{key:08X}" for key in sorted(m.streams.keys)]


@command("stream_requests")
def _stream_requests(s, m, a):
    return [f"{kind}:{key:08X}" for kind, key in m.streams.requests]


@command("sample")
def _sample(s, m, a):
    kind, cmd, option, index = (num(w) for w in a[:4])
    if kind == 4:
        packets = streams.block_stream(cmd, option, index, bytes.fromhex(a[4]))
    else:
        subindex = num(a[5]) if len(a) > 5 else 0
        timestamp = num(a[6]) if len(a) > 6 else None
        packets = [streams.sample(cmd, option, index, kind, num(a[4]), subindex, timestamp)]
    for data in packets:
        s.broadcast(tvwire.Packet(m.address, data))
    return [len(packets)]


@command("stream_every")
def _stream_every(s, m, a):
    s.stream_every = int(a[0]) / 1000.0
    s.next_stream = time.monotonic() + s.stream_every


@command("slot")
def _slot(s, m, a):
    return [m.store.contents(num(a[0]), num(a[1])).hex() or "-"]


@command("set_slot")
def _set_slot(s, m, a):
    m.store.fill(num(a[0]), num(a[1]), bytes.fromhex("".join(a[2:])))


@command("factory")
def _factory(s, m, a):
    return [m.factory.records.get(num(a[0]) & 0x0F, b"").hex() or "-"]


@command("set_factory")
def _set_factory(s, m, a):
    m.factory.records[num(a[0]) & 0x0F] = bytes.fromhex("".join(a[1:]))


@command("i2c_writes")
def _i2c_writes(s, m, a):
    return [f"{address}:{data.hex() or '-'}" for address, data in m.i2c.writes]


# --- reply faults --------------------------------------------------------------

@command("fault")
def _fault(s, m, a):
    kind = a[0]
    if kind == "clear":
        m.faults.clear()
        return None
    command_byte, option = reply_faults.parse_target(a[1])
    rest = a[2:]
    value = 0
    if kind in (reply_faults.ERROR, reply_faults.LENGTH):
        value, rest = num(rest[0]), rest[1:]
    elif kind != reply_faults.SILENT:
        return "err fault kinds: silent, error, length, clear"
    count = reply_faults.FOREVER if rest and rest[0] == "always" else (num(rest[0]) if rest else 1)
    m.faults.add(reply_faults.ReplyFault(kind, command_byte, option, value, count))


@command("faults")
def _faults(s, m, a):
    return [f"{f.kind}:{f.command}/{'*' if f.option is None else f.option}:{f.value}:{f.count}"
            for f in m.faults.active]


# --- the loader ------------------------------------------------------------------

@command("loader_fault")
def _loader_fault(s, m, a):
    faults = m.loader.faults
    name = a[0]
    if name == "clear":
        m.loader.faults = loader_module.LoaderFaults()
    elif name in COUNTED_LOADER_FAULTS:
        setattr(faults, name, num(a[1]) if len(a) > 1 else 1)
    elif name in SWITCH_LOADER_FAULTS:
        setattr(faults, name, flag(a[1]) if len(a) > 1 else True)
    elif name == "silent":
        op = LOADER_OPS.get(a[1], None)
        faults.silent.add(num(a[1]) if op is None else op)
    elif name == "reply":
        op = LOADER_OPS.get(a[1], None)
        faults.silent.discard(num(a[1]) if op is None else op)
    else:
        return "err unknown loader fault"


@command("uei_data")
def _uei_data(s, m, a):
    m.loader.uei_data = flag(a[0])


@command("pooled")
def _pooled(s, m, a):
    m.loader.pooled = flag(a[0])


@command("block_size")
def _block_size(s, m, a):
    m.loader.block_size = num(a[0])


@command("load_base")
def _load_base(s, m, a):
    m.loader.load_base = num(a[0])


@command("flash_range")
def _flash_range(s, m, a):
    m.loader.flash_range = None if a[0] == "any" else (num(a[0]), num(a[1]))


@command("load_drops")
def _load_drops(s, m, a):
    s.load_drops = flag(a[0])


@command("down_ms")
def _down_ms(s, m, a):
    s.down_ms = int(a[0])


@command("reboot_down_ms")
def _reboot_down_ms(s, m, a):
    s.reboot_down_ms = int(a[0])


def _dump(blocks: dict, path: str) -> list:
    base, image = upgrade.image_bytes(blocks)
    with open(path, "wb") as handle:
        handle.write(image)
    return [f"0x{base:08X}", len(image)]


@command("flash_dump")
def _flash_dump(s, m, a):
    return _dump(m.loader.flash_image(), a[0])


@command("loader_dump")
def _loader_dump(s, m, a):
    return _dump({k: bytes(v) for k, v in m.loader.loader_image.items()}, a[0])


@command("flash")
def _flash(s, m, a):
    return [f"0x{address:08X}:{len(data)}" for address, data in sorted(m.loader.flash_image().items())]


@command("loader_blocks")
def _loader_blocks(s, m, a):
    return [f"0x{address:08X}:{len(data)}" for address, data in sorted(m.loader.loader_image.items())]


@command("prepared")
def _prepared(s, m, a):
    return [f"{flags}:0x{address:08X}" for flags, address in m.loader.prepared]


@command("writes")
def _writes(s, m, a):
    return [f"0x{address:08X}:{count}" for address, count in m.loader.writes]


@command("loader_running")
def _loader_running(s, m, a):
    m.loader.running_loader = flag(a[0])


@command("loader_state")
def _loader_state(s, m, a):
    state = "loader" if m.loader.running_loader else "firmware"
    return [state, f"reboots={m.loader.reboots}", f"boots={m.boots}", f"online={int(m.online)}"]


@command("reboot")
def _reboot(s, m, a):
    m.restart("reset")


@command("come_back")
def _come_back(s, m, a):
    s.bring_back(m)
