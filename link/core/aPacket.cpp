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
  // A refused byte leaves the packet as it was: nothing that reads the
  // packet afterwards can meet a length above 28.
  const unsigned fill = packet->fillCount + 1u;
  if (fill > aPACKET_MAX_WIRE) return aErrOverrun;
  if (packet->address == 0) {
    // A module address is never 0 and always even.
    if (byte == 0 || (byte & 1) != 0) return aErrPacket;
    packet->address = byte;
  } else if (packet->length == 0) {
    if (byte > aPACKET_MAX_DATA) return aErrPacket;
    packet->length = byte;
  } else {
    if (fill > packet->length + 2u) return aErrPacket;
    packet->data[fill - 3] = byte;
  }
  packet->fillCount = static_cast<uint8_t>(fill);
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
