#include "link/core/aPacketLog.h"

#include <new>
#include <stdlib.h>

namespace {

uint32_t sUsed(const aPacketLog* log) { return (log->write + log->size - log->read) % log->size; }

void sDropOldest(aPacketLog* log) {
  uint32_t length = log->buffer[(log->read + 1) % log->size];
  log->read = (log->read + 2 + length) % log->size;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size < 3) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog{};
  if (log == nullptr) return nullptr;
  log->buffer = static_cast<uint8_t*>(calloc(size, 1));
  if (log->buffer == nullptr) {
    delete log;
    return nullptr;
  }
  log->size = size;
  return log;
}

void aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return;
  free((*log)->buffer);
  delete *log;
  *log = nullptr;
}

aErr aPacketLog_Store(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes) {
  if (log == nullptr || (bytes == nullptr && length > 0) || length > 255) return aErrParam;
  if (length + 2 >= log->size) return aErrOverrun;
  while (log->size - sUsed(log) <= length + 2) sDropOldest(log);
  log->buffer[log->write] = direction;
  log->buffer[(log->write + 1) % log->size] = static_cast<uint8_t>(length);
  for (uint32_t i = 0; i < length; ++i) log->buffer[(log->write + 2 + i) % log->size] = bytes[i];
  log->write = (log->write + 2 + length) % log->size;
  return aErrNone;
}

aErr aPacketLog_Take(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
  if (log == nullptr || direction == nullptr || length == nullptr) return aErrParam;
  if (log->read == log->write) return aErrNotFound;
  *direction = log->buffer[log->read];
  uint32_t recordLength = log->buffer[(log->read + 1) % log->size];
  uint32_t capacity = *length;
  *length = recordLength;
  if (capacity < recordLength) return aErrOverrun;
  if (buffer == nullptr && recordLength > 0) return aErrParam;
  for (uint32_t i = 0; i < recordLength; ++i) buffer[i] = log->buffer[(log->read + 2 + i) % log->size];
  log->read = (log->read + 2 + recordLength) % log->size;
  return aErrNone;
}
