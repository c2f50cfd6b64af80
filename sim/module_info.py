"""The information command 0x49: what the module knows about itself.

  [49 FF]                          -> [49 FF build(4)]
  [49 01 command option index flags] -> [49 01 command option index status]
                                      status 0: the UEI exists with that access
                                      (flags 0x40 get, 0x80 set), else an error code
  [49 04 command]                  -> [49 04 command count]      entities of a class
  [49 05 command subclass]         -> [49 05 command subclass count]
  [49 06 command index]            -> [49 06 command index group]
"""

from __future__ import annotations

import struct

try:
    from . import tvwire
except ImportError:
    import tvwire  # type: ignore[no-redef]

OP_BUILD, OP_HAS_UEI, OP_CLASS_QUANTITY, OP_SUBCLASS_QUANTITY, OP_ENTITY_GROUP = 0xFF, 1, 4, 5, 6
_ARGUMENTS = {OP_BUILD: 0, OP_HAS_UEI: 4, OP_CLASS_QUANTITY: 1, OP_SUBCLASS_QUANTITY: 2, OP_ENTITY_GROUP: 2}


class ModuleInfo:
    command = tvwire.CMD_INFO
    count = 1

    def has_uei(self, module, option: int, index: int, flags: int) -> int:
        return tvwire.ERR_INVALID_OPTION

    def error_reply(self, data: bytes, code: int) -> bytes:
        # The request echoed and the code where the answer goes (for hasUEI
        # that is the flags byte).
        op = data[1] if len(data) > 1 else 0
        keep = 5 if op == OP_HAS_UEI else 2 + _ARGUMENTS.get(op, 0)
        return bytes(data[:keep]) + bytes([code & 0xFF])

    def handle(self, module, data: bytes) -> list[bytes]:
        if len(data) < 2:
            return []
        op = data[1]
        wanted = _ARGUMENTS.get(op)
        if wanted is None or len(data) < 2 + wanted:
            return [self.error_reply(data, tvwire.ERR_SHORT_COMMAND if wanted else tvwire.ERR_INVALID_OPTION)]
        if op == OP_BUILD:
            return [bytes([tvwire.CMD_INFO, OP_BUILD]) + struct.pack(">I", module.build & 0xFFFFFFFF)]
        if op == OP_HAS_UEI:
            command, option, index, flags = data[2:6]
            return [bytes(data[:5]) + bytes([module.has_uei(command, option, index, flags)])]
        command = data[2]
        entity = module.entities.get(command)
        if op == OP_CLASS_QUANTITY:
            return [bytes(data[:3]) + bytes([entity.count if entity else 0])]
        if op == OP_SUBCLASS_QUANTITY:
            count = entity.subclass_quantity(data[3]) if hasattr(entity, "subclass_quantity") else 0
            return [bytes(data[:4]) + bytes([count])]
        return [bytes(data[:4]) + bytes([0])]  # every entity is in group 0
