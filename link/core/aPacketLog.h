// Byte ring of records: direction byte, length byte, then the bytes. The
// ring never fills completely; the oldest records make room for new ones.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"

typedef struct aPacketLog {
  uint8_t* buffer;
  uint32_t size;
  uint32_t read;
  uint32_t write;
} aPacketLog;

aPacketLog* aPacketLog_Create(uint32_t size);
void aPacketLog_Destroy(aPacketLog** log);
aErr aPacketLog_Store(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes);
// `length` holds the capacity on entry and the record's length on return.
aErr aPacketLog_Take(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer);
