// UEI exchanges on a Link: typed values and byte blocks out, replies in
// through a filter that also decodes them, and the module-address query.
#include <string.h>

#include "link/api/LinkImpl.h"
#include "link/core/aDebug.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kHeaderBytes = 3;

// Hands a uei filter to the engine, whose predicates take a mutable reference.
struct FilterCall {
  ueiPacketFilter filter;
  const void* reference;
};

bool sCallFilter(const aPacket* packet, void* reference) {
  const FilterCall* call = static_cast<const FilterCall*>(reference);
  return call->filter(packet, call->reference) != 0;
}

aErr sPut(aLinkRef id, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNoData = 0;  // packets are made from a buffer, even an empty one
  if (data == nullptr) data = &kNoData;
  aPacket* packet = aPacket_CreateWithData(address, length, data);
  if (packet == nullptr) return aErrResource;
  aErr result = aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  return result;
}

// The value bytes of a fixed-size uei; false for a type with no packet form.
bool sEncodeValue(const uei& value, uint8_t* out, uint8_t* length) {
  switch (value.type) {
    case ueiTypeVoid:
      *length = 0;
      return true;
    case ueiTypeByte:
      out[0] = value.v.byteVal;
      *length = 1;
      return true;
    case ueiTypeShort:
      aUEI_StoreShort(out, value.v.shortVal);
      *length = 2;
      return true;
    case ueiTypeInt:
      aUEI_StoreInt(out, value.v.intVal);
      *length = 4;
      return true;
    default:
      return false;
  }
}

// Chunks of up to 24 bytes, each closed by its sequence byte; back to back.
aErr sSendBytes(aLinkRef id, const uei& value) {
  uint8_t data[aPACKET_MAX_DATA] = {value.command, value.option, value.specifier};
  if (value.byteCount == 0) {
    data[kHeaderBytes] = 0;
    return sPut(id, value.module, kHeaderBytes + 1, data);
  }
  if (value.v.bytes == nullptr) return aErrParam;
  aErr result = aErrNone;
  uint32_t sent = 0;
  for (uint32_t counter = 0; sent < value.byteCount; ++counter) {
    uint32_t chunk = value.byteCount - sent;
    if (chunk > ueiBYTES_CHUNK) chunk = ueiBYTES_CHUNK;
    memcpy(data + kHeaderBytes, value.v.bytes + sent, chunk);
    sent += chunk;
    uint8_t sequence = static_cast<uint8_t>(counter & ueiBYTES_SEQUENCE_MASK);
    if (sent < value.byteCount) sequence |= ueiBYTES_CONTINUE;
    data[kHeaderBytes + chunk] = sequence;
    result = sPut(id, value.module, static_cast<uint8_t>(kHeaderBytes + chunk + 1), data);
    if (result != aErrNone) break;
  }
  return result;
}

// Accepts the reply that the uei describes and decodes its value into it.
uint8_t sUEIFilter(const aPacket* packet, const void* reference) {
  uei* expected = static_cast<uei*>(const_cast<void*>(reference));
  if (packet->address != expected->module || packet->length < kHeaderBytes) return 0;
  const uint8_t* data = packet->data;
  if (data[0] != expected->command || data[1] != expected->option ||
      (data[2] & ueiSPECIFIER_INDEX_MASK) != expected->specifier)
    return 0;
  if (data[2] & ueiSPECIFIER_ERROR) {
    expected->specifier = data[2];
    expected->v.byteVal = packet->length > kHeaderBytes ? data[3] : static_cast<uint8_t>(aErrUnknown);
    return 1;
  }
  switch (packet->length) {
    case 3:
      expected->type = ueiTypeVoid;
      break;
    case 4:
      expected->type = ueiTypeByte;
      expected->v.byteVal = data[3];
      break;
    case 5:
      expected->type = ueiTypeShort;
      expected->v.shortVal = aUEI_RetrieveShort(data + 3);
      break;
    case 7:
      expected->type = ueiTypeInt;
      expected->v.intVal = aUEI_RetrieveInt(data + 3);
      break;
    default:
      break;  // accepted, the uei left as it was
  }
  return 1;
}

// Drains with a fresh reference per packet: an accepted error reply writes
// its error bit into the reference, which must not affect the next packet.
bool sDrainFilter(const aPacket* packet, void* reference) {
  uei fresh = *static_cast<const uei*>(reference);
  return sUEIFilter(packet, &fresh) != 0;
}

}  // namespace

aErr Link::getModuleAddress(uint8_t* address) {
  if (address == nullptr) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  aTRACE(aTRACE_LINK, "getModuleAddress\n");
  aErr put = sPut(m_impl->linkId, aPACKET_ADDR_SYNC, 0, nullptr);
  if (put != aErrNone) return aErrNotReady;
  aTRACE(aTRACE_LINK, "getModuleAddress wait\n");
  aPacket* reply = aLink_AwaitFirst(
      m_impl->linkId, [](const aPacket* p, void*) { return p->length == 0; }, nullptr, kReplyTimeoutMs);
  if (reply == nullptr) return aErrNotReady;
  *address = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::sendUEI(uei value) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(value.module)) return aErrPacket;
  if (value.type == ueiTypeBytes) return sSendBytes(m_impl->linkId, value);
  uint8_t data[aPACKET_MAX_DATA] = {value.command, value.option, value.specifier};
  uint8_t length = 0;
  // A type with no packet form puts nothing on the link.
  if (!sEncodeValue(value, data + kHeaderBytes, &length)) return aErrParam;
  return sPut(m_impl->linkId, value.module, static_cast<uint8_t>(kHeaderBytes + length), data);
}

aErr Link::sendUEI(uei value, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(value.module)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA] = {value.command, value.option, value.specifier, subindex};
  uint8_t length = 0;
  if (value.type == ueiTypeBytes || !sEncodeValue(value, data + kHeaderBytes + 1, &length)) return aErrParam;
  return sPut(m_impl->linkId, value.module, static_cast<uint8_t>(kHeaderBytes + 1 + length), data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* value) {
  return receiveUEI(module, command, option, specifier, value, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t, uint8_t, uint8_t, uint8_t, uei* value, ueiPacketFilter filter) {
  if (value == nullptr || filter == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(value->module)) return aErrPacket;
  uint32_t timeout = kReplyTimeoutMs;
  if (value->type == ueiTypeBytes && value->byteCount > kLongPayloadBytes) {
    timeout = kLongReplyTimeoutMs;
    aTRACE(aTRACE_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
           static_cast<unsigned long>(timeout));
  }
  FilterCall call{filter, value};
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sCallFilter, &call, timeout);
  if (reply == nullptr) return aErrTimeout;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(module)) return aErrPacket;
  uei reference{};
  reference.module = module;
  reference.command = command;
  reference.option = option;
  reference.specifier = specifier;
  aLink_DrainPackets(m_impl->linkId, sDrainFilter, &reference);
  return aErrNone;
}

}  // namespace Veltrane::Tolvarine
