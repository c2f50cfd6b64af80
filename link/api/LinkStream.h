// Value streams of a module as a Link sees them: the 64-bit key of one
// subscribed value, the kinds of stream packet, and the pure functions that
// build keys and read samples. Link inherits all of it, so callers write
// Link::createStreamKey, Link::StreamStatusEntry and so on.
//
// Key layout: bits 39..32 subindex, 31..24 module address, 23..16 command,
// 15..8 option, 7..0 index; 0xFF in an element of a registered key matches
// any value there (the module byte excepted).
#pragma once

#include <stdint.h>

#include <functional>

#include "link/core/aErr.h"
#include "link/core/aPacket.h"

namespace Veltrane::Tolvarine {

struct LinkStream {
  // Selectors of getStreamKeyElement.
  enum STREAM_KEY : uint8_t {
    STREAM_KEY_MODULE_ADDRESS = 0,
    STREAM_KEY_CMD = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4
  };

  // Kind byte (data[3]) of a stream packet.
  enum STREAM_PACKET : uint8_t {
    STREAM_PACKET_UNKNOWN = 0,
    STREAM_PACKET_U8 = 1,            // 14 data bytes
    STREAM_PACKET_U16 = 2,           // 15
    STREAM_PACKET_U32 = 3,           // 17
    STREAM_PACKET_BYTES = 4,         // part of a byte block, no sample
    STREAM_PACKET_SUBINDEX_U8 = 5,   // 15
    STREAM_PACKET_SUBINDEX_U16 = 6,  // 16
    STREAM_PACKET_SUBINDEX_U32 = 7   // 18
  };

  static constexpr uint8_t STREAM_WILDCARD = 0xFF;

  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };

  // Runs on the Link's callback worker with a packet that lives for the call.
  using streamCallback = std::function<uint8_t(const aPacket* packet, void* ref)>;

  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  // The selected byte of a key; 0 for an unknown selector.
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);

  static bool isStreamPacket(const aPacket* packet);
  static bool isStreamSample(const aPacket* packet);
  // False (kind 0) for anything that is not a stream packet of a known kind.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
  static bool isSubindexType(STREAM_PACKET kind);
  // Any output may be null. aErrPacket: no sample; aErrSize: a byte block.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);
};

}  // namespace Veltrane::Tolvarine
