"""The upgrade entity (command 0x5F) of a module: the resident loader of
sim/loader.py, wired to the module it updates.

LOAD makes the module drop its link and come back running the loader (a
real module re-enumerates); REBOOT drops it again and the module comes back
running the firmware that WRITE put into its flash.
"""

from __future__ import annotations

try:
    from . import loader as loader_module, tvwire
except ImportError:
    import loader as loader_module  # type: ignore[no-redef]
    import tvwire  # type: ignore[no-redef]


def image_bytes(blocks: dict[int, bytes], fill: int = 0xFF) -> tuple[int, bytes]:
    """(lowest address, the blocks laid out from there, gaps filled)."""
    if not blocks:
        return 0, b""
    base = min(blocks)
    end = max(a + len(d) for a, d in blocks.items())
    out = bytearray([fill]) * (end - base)
    for address in sorted(blocks):
        out[address - base:address - base + len(blocks[address])] = blocks[address]
    return base, bytes(out)


class UpgradeEntity:
    command = tvwire.CMD_UPGRADE
    count = 1

    def __init__(self, module) -> None:
        self.loader = loader_module.ResidentLoader()
        self._written: bytes | None = None
        self.loader.on_link_drop = lambda comes_back: module.drop_link(
            comes_back, "reboot" if self._written is not None else "load")
        self.loader.on_reboot = self._rebooting
        self.module = module

    def _rebooting(self) -> None:
        self._written = b"".join(image_bytes(self.loader.flash_image())[1:])
        if self.loader.faults.reboot_keeps_build:
            self._written = None  # the write did not take: the old firmware starts again
        if self.loader.faults.reboot_keeps_link:
            # The module restarts in place; the host's link never notices.
            self.module.come_back()

    def take_new_firmware(self) -> bytes | None:
        """The flash written since the last reboot (None when nothing rebooted)."""
        written, self._written = self._written, None
        return written

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        if index != 0 or option != loader_module.OPTION_DATA_UEI:
            return tvwire.ERR_INVALID_OPTION
        if flags & tvwire.OPTION_GET or not self.loader.uei_data:
            return tvwire.ERR_INVALID_OPTION
        return 0

    def error_reply(self, data: bytes, code: int) -> bytes:
        return bytes([tvwire.CMD_UPGRADE, loader_module.OP_STATUS, code & 0xFF])

    def handle(self, module, data: bytes) -> list[bytes]:
        return self.loader.handle(data)
