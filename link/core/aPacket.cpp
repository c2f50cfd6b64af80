#include "link/core/aPacket.h"

#include <new>
#include <string.h>

aPacket* aPacket_Create(void) {
  aPacket* packet = new (std::nothrow) aPacket{};
  if (packet != nullptr) packet->check = aPACKET_CHECK;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->length = length;
  memcpy(packet->data, data, length);
  packet->fillCount = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

namespace {

aErr readDataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->length <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

}  // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return readDataByte(packet, command, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return readDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return readDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->fillCount = 0;
  packet->address = 0;
  packet->length = 0;
  memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  if (++packet->fillCount > aPACKET_MAX_WIRE) return aErrOverrun;
  if (packet->address == 0) {
    // A module address is never 0 and always even.
    if (byte == 0 || (byte & 1) != 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->length == 0) {
    packet->length = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->fillCount > packet->length + 2) return aErrPacket;
  packet->data[packet->fillCount - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->fillCount == packet->length + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || !aVALIDPACKET(*packet)) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}
