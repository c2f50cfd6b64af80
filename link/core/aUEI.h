// UEI: the get/set/call exchange of one value of one entity on a module.
// Packet data of a UEI: command, option byte, specifier byte, value (MSB first).
#pragma once

#include <stdint.h>

#include "link/core/aPacket.h"

// Option byte.
#define ueiOPTION_MASK 0x3F
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
#define ueiOPTION_SET_REPLY 0xC0

// Specifier byte.
#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20  // set by the host on every request
#define ueiSPECIFIER_STREAM 0x40   // unsolicited stream value
#define ueiSPECIFIER_ERROR 0x80    // the next byte is an aErr code

// Byte-array transfers: up to 24 payload bytes and a trailing sequence byte.
#define ueiBYTES_CHUNK 24
#define ueiBYTES_CONTINUE 0x80
#define ueiBYTES_SEQUENCE_MASK 0x7F

typedef enum ueiType {
  ueiTypeVoid = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5
} ueiType;

typedef struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;
  uint8_t specifier;
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
    uint8_t* bytes;  // caller's buffer for byte arrays
  } v;
  uint8_t sequence;      // byte-array receive: sequence of the last packet taken
  uint8_t continueBit;   // byte-array receive: more-packets bit of the last packet
  uint32_t byteCount;    // bytes to send, or capacity of the receive buffer
  uint32_t* receivedCount;
  uint8_t type;          // ueiType
} uei;

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
uint8_t* aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint8_t* aUEI_StoreInt(uint8_t* buffer, uint32_t value);
// Rewrites `count` 4-byte big-endian elements in place to host order.
void aUEI_ModifyIntBuffer(uint8_t* buffer, uint32_t count);

uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);
