// What an EntityClass binds, shared by the entity sources only.
#pragma once

#include <stdint.h>

#include "link/api/EntityClass.h"
#include "link/api/Module.h"

namespace Veltrane::Tolvarine {

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  // The module's link, or null when unbound or linkless.
  Link* link() const { return module == nullptr ? nullptr : module->getLink(); }
  uint8_t address() const { return module->getModuleAddress(); }
};

// The value a received uei carries, widened to 32 bits by its type.
inline uint32_t ueiValue32(const uei& value) {
  switch (value.type) {
    case ueiTypeByte:
      return value.v.byteVal;
    case ueiTypeShort:
      return value.v.shortVal;
    default:
      return value.v.intVal;
  }
}

inline bool ueiIsError(const uei& value) { return (value.specifier & ueiSPECIFIER_ERROR) != 0; }

}  // namespace Veltrane::Tolvarine
