// Byte-block reads of an entity: the device answers one get with a run of
// packets [command, option, index, up to 24 bytes, sequence byte], the
// sequence counting 0..127 and round again, bit 7 set while more follow.
#include <string.h>

#include "link/api/EntityImpl.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kHeaderBytes = 3;

// The transfer state rides in the uei the filter is given: the value is the
// write position, `sequence` the expected sequence number, `continueBit` the
// last continue bit, `byteCount` the capacity and `receivedCount` the caller's
// count. An error found by the filter is kept beside it.
struct BytesTransfer {
  uei state;
  aErr error;
};

uint8_t sBytesFilter(const aPacket* packet, const void* reference) {
  BytesTransfer* transfer = static_cast<BytesTransfer*>(const_cast<void*>(reference));
  uei& state = transfer->state;
  const uint8_t* d = packet->data;
  if (packet->address != state.module || packet->length < kHeaderBytes || d[0] != state.command ||
      d[1] != state.option || (d[2] & ueiSPECIFIER_INDEX_MASK) != state.specifier)
    return 0;
  if (d[2] & ueiSPECIFIER_ERROR) {
    transfer->error = packet->length > kHeaderBytes ? static_cast<aErr>(d[3]) : aErrUnknown;
    return 1;
  }
  // A block packet carries at least its sequence byte, and never more
  // than a packet holds.
  if (packet->length <= kHeaderBytes || packet->length > aPACKET_MAX_DATA) return 0;
  if (aUEI_getBytesSequence(packet) != state.sequence) return 0;
  uint32_t payload = packet->length - kHeaderBytes - 1u;
  if (*state.receivedCount + payload > state.byteCount) {
    transfer->error = aErrMemory;
    return 1;
  }
  memcpy(state.v.bytes, d + kHeaderBytes, payload);
  state.v.bytes += payload;
  *state.receivedCount += payload;
  state.continueBit = aUEI_getBytesContinue(packet);
  return 1;
}

}  // namespace

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t capacity, uint32_t* unloaded) {
  if (buffer == nullptr || unloaded == nullptr || capacity == 0) return aErrParam;
  *unloaded = 0;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;

  uei request{};
  request.module = m_impl->address();
  request.command = m_impl->command;
  request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
  request.specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
  request.type = ueiTypeVoid;
  aErr result = link->sendUEI(request);
  if (result != aErrNone) return result;

  BytesTransfer transfer{};
  transfer.error = aErrNone;
  uei& state = transfer.state;
  state.module = request.module;
  state.command = request.command;
  state.option = option;
  state.specifier = m_impl->index;
  state.v.bytes = buffer;
  state.sequence = 0;
  state.byteCount = capacity;
  state.receivedCount = unloaded;
  state.type = ueiTypeVoid;  // keeps the reply time-out at its usual length
  for (;;) {
    state.continueBit = 0;
    result = link->receiveUEI(state.module, state.command, state.option, state.specifier, &state, sBytesFilter);
    if (result != aErrNone) return result;
    if (transfer.error != aErrNone) return transfer.error;
    if (state.continueBit == 0) return aErrNone;
    state.sequence = static_cast<uint8_t>((state.sequence + 1) & ueiBYTES_SEQUENCE_MASK);
  }
}

aErr EntityClass::getUEIBytesCheck(uint32_t* count, uint32_t unit) {
  if (count == nullptr || unit == 0) return aErrParam;
  if (*count % unit != 0) return aErrMemory;
  *count /= unit;
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet); }

}  // namespace Veltrane::Tolvarine
