// One device packet. On the wire: address byte, length byte, then `length`
// data bytes (0..28); no checksum, no start marker.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

// Host-to-device control addresses (odd, so never a module address).
#define aPACKET_ADDR_SYNC 0xAD   // module-address query / synchronisation request
#define aPACKET_ADDR_ROUTE 0xAF  // route control, one data byte

typedef struct aPacket {
  uint16_t check;
  uint8_t fillCount;  // wire bytes held so far (address + length + data)
  uint8_t address;
  uint8_t length;
  uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != nullptr && (p)->check == aPACKET_CHECK)

aPacket* aPacket_Create(void);
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Reset(aPacket* packet);
// Receive-side assembler: feeds one wire byte into a cleared packet.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_Destroy(aPacket** packet);
