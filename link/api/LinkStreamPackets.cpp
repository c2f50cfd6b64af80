// Stream keys and stream sample packets. A sample is
//   [command, option, index byte, kind, (subindex), timestamp hi, lo, value, 0]
// with big-endian words; the trailing byte is the byte-block sequence byte,
// zero for a sample that stands alone.
#include "link/api/LinkStream.h"
#include "link/core/aUEI.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kKindByte = 3;

// Data size of a sample of each kind (0: no sample).
constexpr uint8_t kSampleSize[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t sValueWidth(LinkStream::STREAM_PACKET kind) {
  switch (kind) {
    case LinkStream::STREAM_PACKET_U8:
    case LinkStream::STREAM_PACKET_SUBINDEX_U8:
      return 1;
    case LinkStream::STREAM_PACKET_U16:
    case LinkStream::STREAM_PACKET_SUBINDEX_U16:
      return 2;
    default:
      return 4;
  }
}

}  // namespace

uint64_t LinkStream::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                     uint8_t subindex) {
  return (static_cast<uint64_t>(subindex) << 32) | (static_cast<uint64_t>(module) << 24) |
         (static_cast<uint64_t>(command) << 16) | (static_cast<uint64_t>(option) << 8) | index;
}

uint8_t LinkStream::getStreamKeyElement(uint64_t key, uint8_t element) {
  switch (element) {
    case STREAM_KEY_MODULE_ADDRESS:
      return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_CMD:
      return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION:
      return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX:
      return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX:
      return static_cast<uint8_t>(key >> 32);
    default:
      return 0;
  }
}

bool LinkStream::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool LinkStream::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
  STREAM_PACKET found = STREAM_PACKET_UNKNOWN;
  bool known = false;
  if (isStreamPacket(packet)) {
    if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet) != 0) {
      found = STREAM_PACKET_BYTES;
      known = true;
    } else if (packet->data[kKindByte] >= STREAM_PACKET_U8 && packet->data[kKindByte] <= STREAM_PACKET_SUBINDEX_U32) {
      found = static_cast<STREAM_PACKET>(packet->data[kKindByte]);
      known = true;
    }
  }
  if (kind != nullptr) *kind = found;
  return known;
}

bool LinkStream::isSubindexType(STREAM_PACKET kind) {
  return kind >= STREAM_PACKET_SUBINDEX_U8 && kind <= STREAM_PACKET_SUBINDEX_U32;
}

bool LinkStream::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind = STREAM_PACKET_UNKNOWN;
  if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES) return false;
  return packet->length == kSampleSize[kind];
}

aErr LinkStream::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET kind = STREAM_PACKET_UNKNOWN;
  if (!getStreamPacketType(packet, &kind)) return aErrPacket;
  if (kind == STREAM_PACKET_BYTES) return aErrSize;
  if (packet->length != kSampleSize[kind]) return aErrPacket;
  const uint8_t* at = packet->data + kKindByte + 1;
  uint8_t sub = 0;
  if (isSubindexType(kind)) sub = *at++;
  uint64_t stamp = (static_cast<uint64_t>(aUEI_RetrieveInt(at)) << 32) | aUEI_RetrieveInt(at + 4);
  at += 8;
  uint32_t sample = 0;
  switch (sValueWidth(kind)) {
    case 1:
      sample = at[0];
      break;
    case 2:
      sample = aUEI_RetrieveShort(at);
      break;
    default:
      sample = aUEI_RetrieveInt(at);
      break;
  }
  if (timestamp != nullptr) *timestamp = stamp;
  if (value != nullptr) *value = sample;
  if (subindex != nullptr) *subindex = sub;
  return aErrNone;
}

void LinkStream::getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower) {
  if (upper != nullptr) *upper = static_cast<uint32_t>(timestamp >> 32);
  if (lower != nullptr) *lower = static_cast<uint32_t>(timestamp);
}

}  // namespace Veltrane::Tolvarine
