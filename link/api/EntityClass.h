// One addressable function inside a module, bound as (module, entity class
// code, index): typed get/set/call exchanges, byte blocks and streams over
// the module's link. Requests carry 0x40 (get) or 0x80 (set) in the option
// and 0x20 in the specifier; replies are matched on the bare index.
#pragma once

#include <stdint.h>

#include "link/api/Link.h"
#include "link/core/aErr.h"
#include "link/core/aPacket.h"
#include "link/core/aUEI.h"

namespace Veltrane::Tolvarine {

class Module;

class EntityClass {
 public:
  struct impl;

  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  aErr init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw packets to and from this entity's module.
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

  aErr getUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
  aErr callUEI(uint8_t option);

  // A streamed value is answered from the stream table without a request
  // (aErrStreamStale when no new sample arrived since the last read).
  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

  // Byte blocks travel in 24-byte chunks with sequence bytes.
  aErr setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length);
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t capacity, uint32_t* unloaded);
  // Turns a byte count into a count of `unit`-sized elements.
  aErr getUEIBytesCheck(uint32_t* count, uint32_t unit);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static uint8_t getUEIBytesContinue(const aPacket* packet);

  // Takes the next unasked 32-bit value the device sends for this option.
  aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused = 0);
  aErr drainUEI(uint8_t option);

  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* ref);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, uint32_t count, uint32_t* written);

 private:
  impl* m_impl;
};

}  // namespace Veltrane::Tolvarine
