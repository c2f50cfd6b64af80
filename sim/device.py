"""Device logic of a simulated module: its identity, its entities keyed by
command byte, and the module network it sits on.

A module answers packets addressed to it; what the host's link does with
the connection (dropping it after LOAD or REBOOT, coming back) is the
stand-in's business, reached through `on_drop`.
"""

from __future__ import annotations

from typing import Callable, Iterable

try:
    from . import (factory_data, firmware, i2c_entity, module_info, reply_faults, store_slots, streams,
                   system_entity, tvwire, uei, upgrade)
except ImportError:
    import factory_data  # type: ignore[no-redef]
    import firmware  # type: ignore[no-redef]
    import i2c_entity  # type: ignore[no-redef]
    import module_info  # type: ignore[no-redef]
    import reply_faults  # type: ignore[no-redef]
    import store_slots  # type: ignore[no-redef]
    import streams  # type: ignore[no-redef]
    import system_entity  # type: ignore[no-redef]
    import tvwire  # type: ignore[no-redef]
    import uei  # type: ignore[no-redef]
    import upgrade  # type: ignore[no-redef]

Packet = tvwire.Packet
Handler = Callable[["Module", Packet], Iterable]

DEFAULT_VERSION = firmware.pack_version(2, 11, 4)
DEFAULT_BUILD = 1100
# Drop handler: (module, comes_back, reason) with reason "load", "reboot" or "reset".
DropHandler = Callable[["Module", bool, str], None]


class Module:
    """One module on the packet protocol, known by its even module address."""

    def __init__(self, address: int = 2, model: int = 0x11, serial: int = 0x40F5849A,
                 version: int = DEFAULT_VERSION, build: int = DEFAULT_BUILD,
                 name: bytes = b"Tolvarine module", router: int | None = None) -> None:
        if address == 0 or address & 1 or address > 0xFE:
            raise ValueError("a module address is even, non-zero and below 256")
        self.address = address
        self.model = model
        self.serial = serial
        self.version = version
        self.build = build
        self.name = bytes(name)
        self.factory_name = self.name
        self.router = address if router is None else router
        self.factory_router = self.router
        self.route_to_me = 0
        # The chip's unique identifier, words by subindex of system option 39.
        self.fingerprint = [0, 0, 0, 0]
        self.online = True              # off while rebooting
        self.network: "Network | None" = None
        self.faults = reply_faults.ReplyFaults()
        self.next_firmware: firmware.Identity | None = None  # what a reboot brings when the flash does not say
        self.boots = 0
        self.on_drop: DropHandler = lambda module, comes_back, reason: module.come_back() if comes_back else None
        self.handlers: dict[int, Handler] = {}
        self.entities: dict[int, object] = {}
        self.system = self.add_entity(system_entity.SystemEntity())
        self.info = self.add_entity(module_info.ModuleInfo())
        self.store = self.add_entity(store_slots.StoreSlots())
        self.factory = self.add_entity(factory_data.FactoryData())
        self.i2c = self.add_entity(i2c_entity.I2CEntity())
        self.streams = self.add_entity(streams.StreamEntity())
        self.upgrade = self.add_entity(upgrade.UpgradeEntity(self))
        self.register(tvwire.CMD_ECHO, Module.on_echo)

    # Composition -----------------------------------------------------------
    def add_entity(self, entity):
        self.entities[entity.command] = entity
        return entity

    def register(self, command: int, handler: Handler) -> None:
        """Installs (or replaces) a plain handler of one command byte."""
        self.entities.pop(command, None)
        self.handlers[command] = handler

    @property
    def system_options(self):
        return system_entity.OPTIONS

    @property
    def loader(self):
        return self.upgrade.loader

    @property
    def pooled(self) -> bool:
        return self.loader.pooled

    def bus_peers(self) -> set[int]:
        """I2C addresses that acknowledge on this module's bus."""
        if self.network is None:
            return set()
        return {a for a, m in self.network.modules.items() if a != self.address and m.online}

    def has_uei(self, command: int, option: int, index: int, flags: int) -> int:
        entity = self.entities.get(command)
        if entity is None:
            return tvwire.ERR_INVALID_ENTITY
        return entity.has_uei(self, option, index, flags)

    # Packets ---------------------------------------------------------------
    def handle(self, packet: Packet) -> list[Packet]:
        if not self.online or not packet.data:
            return []
        data = bytes(packet.data)
        fault = self.faults.take(data)
        if fault is not None and fault.kind == reply_faults.SILENT:
            return []
        entity = self.entities.get(data[0])
        if fault is not None and fault.kind == reply_faults.ERROR:
            replies = [entity.error_reply(data, fault.value) if entity else uei.error_reply(data, fault.value)]
        elif entity is not None:
            replies = list(entity.handle(self, data))
        elif data[0] in self.handlers:
            replies = list(self.handlers[data[0]](self, packet))
        elif data[0] not in tvwire.NOT_UEI_COMMANDS and len(data) >= 3:
            replies = [uei.error_reply(data, tvwire.ERR_INVALID_ENTITY)]
        else:
            replies = []
        out = [r if isinstance(r, Packet) else Packet(self.address, r) for r in replies]
        if fault is not None and fault.kind == reply_faults.LENGTH:
            out = [Packet(p.address, reply_faults.resize(p.data, fault.value)) for p in out]
        return out

    def on_echo(self, packet: Packet) -> Iterable[Packet]:
        yield Packet(self.address, packet.data)

    # Restarts ----------------------------------------------------------------
    def restart(self, reason: str = "reset") -> None:
        """The module goes away (the link drops) and comes back."""
        self.on_drop(self, True, reason)

    def drop_link(self, comes_back: bool, reason: str) -> None:
        self.on_drop(self, comes_back, reason)

    def come_back(self) -> None:
        """Back from a reboot: running whatever firmware the flash holds."""
        self.online = True
        self.boots += 1
        written = self.upgrade.take_new_firmware()
        if written is not None:
            identity = firmware.find_identity(written) or self.next_firmware
            if identity is not None:
                self.version = identity.version_word()
                self.build = identity.build


class Network:
    """The module the host's link reaches first, and those behind it on the
    I2C module network, each at the I2C address equal to its module address."""

    def __init__(self, front: Module) -> None:
        self.front = front
        self.modules: dict[int, Module] = {}
        self.add(front)

    def add(self, module: Module) -> None:
        if module.address in self.modules and self.modules[module.address] is not module:
            raise ValueError("two modules at address %d" % module.address)
        module.network = self
        if module is not self.front:
            module.router = module.factory_router = self.front.address
        self.modules[module.address] = module

    def move(self, module: Module, address: int) -> None:
        if address == 0 or address & 1 or (address in self.modules and self.modules[address] is not module):
            raise ValueError("address %d is odd, zero or taken" % address)
        old = module.address
        del self.modules[old]
        module.address = address
        self.modules[address] = module
        if module.router == old:
            module.router = module.factory_router = address  # a router routes for itself
        if module is self.front:
            for other in self.behind():
                other.router = other.factory_router = address

    def behind(self) -> list[Module]:
        return [m for m in self.modules.values() if m is not self.front]

    def route(self, packet: Packet) -> list[Packet]:
        module = self.modules.get(packet.address)
        return module.handle(packet) if module else []
