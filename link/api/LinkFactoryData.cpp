// Factory data (command 0x5E): small records written once at manufacture,
// named by the low 4 bits of a selector. Reads and writes travel in packets
// of [0x5E, option, bytes...] and end with a closing request that states the
// byte count. Bit 7 of a reply's option marks an error reply.
#include <string.h>

#include <algorithm>

#include "link/api/LinkImpl.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t cmdFACTORY = 0x5E;
constexpr uint8_t COMMAND_OVERHEAD = 2;
constexpr uint8_t kSelectorMask = 0x0F;
constexpr uint8_t kFirst = 0x40;   // first packet of a transfer
constexpr uint8_t kWrite = 0x10;   // the packet carries data to write
constexpr uint8_t kClosing = 0x20; // closing request with the byte count
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kWriteChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;

bool sFactoryReply(const aPacket* packet, void* reference) {
  uint8_t option = *static_cast<const uint8_t*>(reference);
  return packet->length >= COMMAND_OVERHEAD && packet->data[0] == cmdFACTORY &&
         (packet->data[1] & ~kErrorFlag) == (option & kSelectorMask);
}

aPacket* sExchange(aLinkRef id, uint8_t address, uint8_t option, const uint8_t* bytes, uint8_t count) {
  uint8_t data[aPACKET_MAX_DATA] = {cmdFACTORY, option};
  if (count != 0) memcpy(data + COMMAND_OVERHEAD, bytes, count);
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(COMMAND_OVERHEAD + count), data);
  if (packet == nullptr) return nullptr;
  aErr put = aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  if (put != aErrNone) return nullptr;
  return aLink_AwaitFirst(id, sFactoryReply, &option, kReplyTimeoutMs);
}

aErr sClose(aLinkRef id, uint8_t address, uint32_t count) {
  uint8_t bytes[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
  aPacket* reply = sExchange(id, address, kClosing, bytes, 2);
  if (reply == nullptr) return aErrTimeout;
  aErr result = aErrNone;
  if (reply->length == 3 && (reply->data[1] & kErrorFlag)) result = static_cast<aErr>(reply->data[2]);
  aPacket_Destroy(&reply);
  return result;
}

}  // namespace

aErr Link::getFactoryData(uint8_t address, uint8_t selector, uint8_t* data, uint32_t capacity, uint32_t* length) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (data == nullptr || length == nullptr) return aErrParam;
  selector &= kSelectorMask;
  uint32_t count = 0;
  uint8_t option = selector | kFirst;
  for (;;) {
    aPacket* reply = sExchange(m_impl->linkId, address, option, nullptr, 0);
    if (reply == nullptr) return aErrTimeout;
    option = selector;
    uint32_t payload = reply->length - COMMAND_OVERHEAD;
    aErr result = aErrNone;
    // Room is kept for one byte more than what arrived.
    if (count + payload >= capacity)
      result = aErrOverrun;
    else if (reply->data[1] & kErrorFlag)
      result = reply->length > COMMAND_OVERHEAD ? static_cast<aErr>(reply->data[2]) : aErrUnknown;
    else
      memcpy(data + count, reply->data + COMMAND_OVERHEAD, payload);
    bool more = reply->length == aPACKET_MAX_DATA;
    aPacket_Destroy(&reply);
    if (result != aErrNone) return result;
    count += payload;
    if (!more) break;
  }
  aErr closed = sClose(m_impl->linkId, address, count);
  if (closed == aErrNone) *length = count;
  return closed;
}

aErr Link::setFactoryData(uint8_t address, uint8_t selector, const uint8_t* data, uint32_t length) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (data == nullptr && length != 0) return aErrParam;
  selector &= kSelectorMask;
  for (uint32_t at = 0; at < length; at += kWriteChunk) {
    uint8_t chunk = static_cast<uint8_t>(std::min<uint32_t>(kWriteChunk, length - at));
    uint8_t option = static_cast<uint8_t>(selector | kWrite | (at == 0 ? kFirst : 0));
    aPacket* reply = sExchange(m_impl->linkId, address, option, data + at, chunk);
    if (reply == nullptr) return aErrTimeout;
    bool acknowledged = reply->length == COMMAND_OVERHEAD;
    aPacket_Destroy(&reply);
    if (!acknowledged) return aErrSize;
  }
  return sClose(m_impl->linkId, address, length);
}

}  // namespace Veltrane::Tolvarine
