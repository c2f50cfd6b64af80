#include "link/core/aUEI.h"

#include <string.h>

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint8_t* aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
  return buffer;
}

uint8_t* aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
  return buffer;
}

void aUEI_ModifyIntBuffer(uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t host = aUEI_RetrieveInt(buffer + 4 * i);
    memcpy(buffer + 4 * i, &host, sizeof host);
  }
}

namespace {

// The byte-block trailer is the packet's last data byte; a packet whose
// length lies outside 1..28 has none.
bool sTrailer(const aPacket* packet, uint8_t* trailer) {
  if (packet == nullptr || packet->length == 0 || packet->length > aPACKET_MAX_DATA) return false;
  *trailer = packet->data[packet->length - 1];
  return true;
}

}  // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t trailer = 0;
  return sTrailer(packet, &trailer) ? trailer & ueiBYTES_SEQUENCE_MASK : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t trailer = 0;
  return sTrailer(packet, &trailer) ? trailer >> 7 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) return false;
  switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->length > 4 && aUEI_isUEIPayload(packet) &&
         packet->data[1] < ueiOPTION_GET && (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}
