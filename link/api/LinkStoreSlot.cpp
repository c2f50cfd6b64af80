// Store slots (command 4): a module's numbered stores of slots that hold byte
// images. A slot is opened for reading or writing, which yields a handle,
// moved through in chunks, and closed. Bit 7 of a reply's option marks an
// error reply.
#include <string.h>

#include <algorithm>

#include "link/api/LinkImpl.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t cmdSTORE = 4;
constexpr uint8_t kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kNoHandle = 255;
constexpr uint8_t kWriteChunk = 25;
constexpr uint32_t kOpenTimeoutMs = 3000;

struct SlotReply {
  uint8_t option;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};

bool sSlotReply(const aPacket* packet, void* reference) {
  const SlotReply* wanted = static_cast<const SlotReply*>(reference);
  const uint8_t* d = packet->data;
  if (packet->length <= 3 || d[0] != cmdSTORE || (d[1] & ~kErrorFlag) != wanted->option) return false;
  if (wanted->option <= kOpenWrite) return d[2] == wanted->store && d[3] == wanted->slot;
  return d[2] == wanted->handle;
}

bool sError(const aPacket* reply) { return (reply->data[1] & kErrorFlag) != 0; }

class SlotExchange {
 public:
  SlotExchange(aLinkRef id, uint8_t address) : id(id), address(address) {}

  // Sends [4, option, bytes...] and awaits the matching reply (null: none).
  aPacket* request(SlotReply wanted, const uint8_t* bytes, uint8_t count, uint32_t timeout) {
    uint8_t data[aPACKET_MAX_DATA] = {cmdSTORE, wanted.option};
    memcpy(data + 2, bytes, count);
    aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(count + 2), data);
    if (packet == nullptr) return nullptr;
    aErr put = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    if (put != aErrNone) return nullptr;
    return aLink_AwaitFirst(id, sSlotReply, &wanted, timeout);
  }

  // Capacity and size: one big-endian 16-bit answer.
  aErr query(uint8_t option, uint8_t store, uint8_t slot, uint32_t* value) {
    uint8_t bytes[2] = {store, slot};
    aPacket* reply = request({option, store, slot, 0}, bytes, 2, kReplyTimeoutMs);
    if (reply == nullptr) return aErrTimeout;
    aErr result = aErrUnknown;
    if (sError(reply))
      result = reply->length > 4 ? static_cast<aErr>(reply->data[4]) : aErrUnknown;
    else if (reply->length == 6) {
      *value = aUEI_RetrieveShort(reply->data + 4);
      result = aErrNone;
    }
    aPacket_Destroy(&reply);
    return result;
  }

  uint8_t open(uint8_t option, uint8_t store, uint8_t slot) {
    uint8_t bytes[2] = {store, slot};
    aPacket* reply = request({option, store, slot, 0}, bytes, 2, kOpenTimeoutMs);
    if (reply == nullptr) return kNoHandle;
    // A reply too short to carry a handle is no opening either.
    uint8_t handle = reply->length > 4 ? reply->data[4] : kNoHandle;
    if (sError(reply) && reply->data[4] != aErrNone) handle = kNoHandle;
    aPacket_Destroy(&reply);
    return handle;
  }

  // Reads the next bytes into `out`, at most `room`; *count gets how many.
  aErr read(uint8_t handle, uint8_t* out, uint32_t room, uint32_t* count) {
    aPacket* reply = request({kRead, 0, 0, handle}, &handle, 1, kReplyTimeoutMs);
    if (reply == nullptr) return aErrTimeout;
    aErr result = aErrNone;
    if (sError(reply)) {
      result = static_cast<aErr>(reply->data[3]);
    } else {
      *count = std::min<uint32_t>(room, reply->length - 3u);
      memcpy(out, reply->data + 3, *count);
    }
    aPacket_Destroy(&reply);
    return result;
  }

  // The module acknowledges a chunk with the 8-bit sum of its bytes.
  aErr write(uint8_t handle, const uint8_t* chunk, uint8_t count) {
    uint8_t bytes[1 + kWriteChunk] = {handle};
    memcpy(bytes + 1, chunk, count);
    aPacket* reply = request({kWrite, 0, 0, handle}, bytes, static_cast<uint8_t>(count + 1), kReplyTimeoutMs);
    if (reply == nullptr) return aErrTimeout;
    uint8_t sum = 0;
    for (uint8_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + chunk[i]);
    aErr result = aErrNone;
    if (sError(reply))
      result = static_cast<aErr>(reply->data[3]);
    else if (reply->data[3] != sum)
      result = aErrIO;
    aPacket_Destroy(&reply);
    return result;
  }

  aErr close(uint8_t handle) {
    aPacket* reply = request({kClose, 0, 0, handle}, &handle, 1, kReplyTimeoutMs);
    if (reply == nullptr) return aErrNone;  // nothing to say is no complaint
    aErr result = aErrNone;
    if (reply->length != 4)
      result = aErrIO;
    else if (sError(reply))
      result = static_cast<aErr>(reply->data[3]);
    aPacket_Destroy(&reply);
    return result;
  }

 private:
  aLinkRef id;
  uint8_t address;
};

}  // namespace

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t* capacity) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (capacity == nullptr) return aErrParam;
  return SlotExchange(m_impl->linkId, address).query(kCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t* size) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (size == nullptr) return aErrParam;
  return SlotExchange(m_impl->linkId, address).query(kSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, uint32_t length) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (data == nullptr && length != 0) return aErrParam;
  SlotExchange exchange(m_impl->linkId, address);
  uint8_t handle = exchange.open(kOpenWrite, store, slot);
  if (handle == kNoHandle) return aErrMedia;
  aErr result = aErrNone;
  for (uint32_t at = 0; at < length && result == aErrNone; at += kWriteChunk) {
    uint8_t count = static_cast<uint8_t>(std::min<uint32_t>(kWriteChunk, length - at));
    result = exchange.write(handle, data + at, count);
  }
  aErr closed = exchange.close(handle);
  return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* data, uint32_t capacity,
                           uint32_t* unloaded) {
  if (!isConnected()) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (data == nullptr || unloaded == nullptr) return aErrParam;
  SlotExchange exchange(m_impl->linkId, address);
  uint32_t size = 0;
  aErr result = exchange.query(kSize, store, slot, &size);
  if (result != aErrNone) return result;
  uint8_t handle = exchange.open(kOpenRead, store, slot);
  if (handle == kNoHandle) return aErrMedia;
  uint32_t wanted = std::min(capacity, size);
  uint32_t copied = 0;
  while (copied < wanted && result == aErrNone) {
    uint32_t count = 0;
    result = exchange.read(handle, data + copied, wanted - copied, &count);
    copied += count;
  }
  aErr closed = exchange.close(handle);
  if (result == aErrNone) result = closed;
  if (result != aErrNone) return result;
  *unloaded = copied;
  return capacity < size ? aErrOverrun : aErrNone;
}

}  // namespace Veltrane::Tolvarine
