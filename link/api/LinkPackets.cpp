// Raw command packets on a Link, for exchanges that are not UEI shaped.
#include <string.h>

#include "link/api/LinkImpl.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kMaxCommandData = aPACKET_MAX_DATA - 1;

struct LeadingBytes {
  const uint8_t* match;
  uint8_t count;
};

bool sLeadingBytesMatch(const aPacket* packet, void* reference) {
  const LeadingBytes* wanted = static_cast<const LeadingBytes*>(reference);
  return packet->length >= wanted->count && memcmp(packet->data, wanted->match, wanted->count) == 0;
}

}  // namespace

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > kMaxCommandData) return aErrParam;
  if (!validModuleAddress(address)) return aErrPacket;
  if (length != 0 && data == nullptr) return aErrParam;
  uint8_t bytes[aPACKET_MAX_DATA] = {command};
  if (length != 0) memcpy(bytes + 1, data, length);
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(length + 1), bytes);
  if (packet == nullptr) return aErrResource;
  // The engine queues the packet; a refused put shows up as a missing reply.
  aLink_PutPacket(m_impl->linkId, packet);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data) {
  return receivePacket(address, match, length, data, kReplyTimeoutMs);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data,
                         uint32_t timeout_ms) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (length == nullptr || data == nullptr || (*length != 0 && match == nullptr)) return aErrParam;
  if (*length > aPACKET_MAX_DATA) return aErrParam;
  LeadingBytes wanted{match, *length};
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sLeadingBytesMatch, &wanted, timeout_ms);
  if (reply == nullptr) return aErrTimeout;
  *length = reply->length;
  memcpy(data, reply->data, reply->length);
  aPacket_Destroy(&reply);
  return aErrNone;
}

}  // namespace Veltrane::Tolvarine
