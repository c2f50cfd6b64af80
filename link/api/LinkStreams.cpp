// Stream subscriptions of a Link. The engine's receiving thread hands every
// stream packet to linkStreamFilter, which keeps the latest value per key
// and queues callbacks; one worker per Link runs them, so a slow callback
// never stalls reception.
#include <chrono>
#include <new>

#include "link/api/LinkImpl.h"
#include "link/core/aTime.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t cmdSTREAM = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamState = 0x41;
constexpr uint8_t kWildcardMasks = 15;
constexpr uint8_t W = LinkStream::STREAM_WILDCARD;

// Wildcard mask i sets the key bytes named by the bits of i + 1: index,
// option, command, subindex. The module byte is never a wildcard.
uint64_t sWildcardMask(uint8_t i) {
  uint8_t bits = static_cast<uint8_t>(i + 1);
  uint64_t mask = 0;
  if (bits & 1) mask |= 0xFFull;
  if (bits & 2) mask |= 0xFFull << 8;
  if (bits & 4) mask |= 0xFFull << 16;
  if (bits & 8) mask |= 0xFFull << 32;
  return mask;
}

bool sMatches(uint64_t key, const uint8_t wanted[5]) {
  for (uint8_t element = 0; element < 5; ++element) {
    if (wanted[element] != W && LinkStream::getStreamKeyElement(key, element) != wanted[element]) return false;
  }
  return true;
}

bool sHasWildcard(uint64_t key) {
  for (uint8_t element = 0; element < 5; ++element) {
    if (LinkStream::getStreamKeyElement(key, element) == W) return true;
  }
  return false;
}

uei sStreamRequest(uint8_t module, uint8_t option) {
  uei request{};
  request.module = module;
  request.command = cmdSTREAM;
  request.option = option;
  request.specifier = ueiSPECIFIER_REQUEST;
  request.type = ueiTypeVoid;
  return request;
}

}  // namespace

bool linkStreamFilter(const aPacket* packet, void* reference) {
  Link::impl* self = static_cast<Link::impl*>(reference);
  if (!LinkStream::isStreamPacket(packet)) return false;
  LinkStream::STREAM_PACKET kind = LinkStream::STREAM_PACKET_UNKNOWN;
  LinkStream::getStreamPacketType(packet, &kind);
  uint8_t subindex = LinkStream::isSubindexType(kind) ? packet->data[4] : 0;
  uint64_t key = LinkStream::createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                                             packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
  uint32_t value = 0;
  bool sample = LinkStream::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> guard(self->streamLock);
  auto exact = self->streams.find(key);
  if (exact != self->streams.end()) {
    self->queueAsyncCallback(exact->second, packet);
    if (sample) {
      exact->second.value = value;
      exact->second.fresh = true;
    }
  }
  bool wildcardMatched = false;
  for (uint8_t i = 0; i < kWildcardMasks; ++i) {
    auto found = self->streams.find(key | sWildcardMask(i));
    if (found == self->streams.end()) continue;
    wildcardMatched = true;
    self->queueAsyncCallback(found->second, packet);
  }
  // Remember the value under its exact key so that reads of it find it.
  if (exact == self->streams.end() && wildcardMatched && sample) {
    StreamEntry entry;
    entry.key = key;
    entry.value = value;
    entry.fresh = true;
    self->streams.emplace(key, std::move(entry));
  }
  return true;
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  asyncPacket notice{entry.callback, entry.ref, aPacket_Copy(packet)};
  if (notice.packet == nullptr) return;
  if (!asyncQueue.push(notice)) aPacket_Destroy(&notice.packet);
}

void Link::impl::asyncWork(std::future<void> stop) {
  while (stop.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    asyncPacket notice;
    bool any = false;
    while (asyncQueue.pop(notice)) {
      any = true;
      try {
        notice.callback(notice.packet, notice.ref);
      } catch (...) {
        // A callback's failure is its own; the worker goes on.
      }
      aPacket_Destroy(&notice.packet);
      notice = asyncPacket();
      if (stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return;
    }
    if (!any) aTime_MSSleep(1);
  }
}

aErr Link::impl::installStreamFilter(bool on) {
  if (on) {
    if (linkId == 0) return aErrConnection;
    aErr result = aLink_InstallUserPacketFilter(linkId, linkStreamFilter, this);
    if (result != aErrNone) return result;
    if (asyncThread == nullptr) {
      // The future is taken here: the promise is only touched by this thread.
      asyncThread = new (std::nothrow) std::thread(&impl::asyncWork, this, stopSignal.get_future());
      if (asyncThread == nullptr) return aErrResource;
    }
    return aErrNone;
  }
  // Even without an engine link the worker has to go.
  if (linkId != 0) aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
  {
    std::lock_guard<std::mutex> guard(streamLock);
    streams.clear();
  }
  if (asyncThread != nullptr) {
    stopSignal.set_value();
    asyncThread->join();
    delete asyncThread;
    asyncThread = nullptr;
    stopSignal = std::promise<void>();
    asyncPacket left;
    while (asyncQueue.pop(left)) aPacket_Destroy(&left.packet);
  }
  return linkId == 0 ? aErrConnection : aErrNone;
}

std::vector<uint64_t> Link::impl::activeKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                             uint8_t subindex) const {
  const uint8_t wanted[5] = {module, command, option, index, subindex};
  std::vector<uint64_t> keys;
  for (const auto& [key, entry] : streams) {
    if (sMatches(key, wanted)) keys.push_back(key);
  }
  return keys;
}

void Link::impl::removeKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  std::lock_guard<std::mutex> guard(streamLock);
  for (uint64_t key : activeKeys(module, command, option, index, W)) streams.erase(key);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
  if (!lock) return m_impl->activeKeys(module, command, option, index, subindex);
  std::lock_guard<std::mutex> guard(m_impl->streamLock);
  return m_impl->activeKeys(module, command, option, index, subindex);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* ref) {
  if ((module & 1) != 0) return aErrParam;  // 255 included
  uint64_t key = createStreamKey(module, command, option, index, W);
  {
    std::lock_guard<std::mutex> guard(m_impl->streamLock);
    if (enable) {
      StreamEntry& entry = m_impl->streams[key];
      entry.key = key;
      entry.callback = std::move(callback);
      entry.ref = ref;
    } else {
      for (uint64_t k : filterActiveStreamKeys(module, command, option, index, W, false)) m_impl->streams.erase(k);
    }
  }
  bool any = false;
  {
    std::lock_guard<std::mutex> guard(m_impl->streamLock);
    any = !m_impl->streams.empty();
  }
  aErr result = m_impl->installStreamFilter(any);
  if (result == aErrNone) {
    uei request = sStreamRequest(module, enable ? kStreamEnable : kStreamDisable);
    request.type = ueiTypeInt;
    request.v.intVal = static_cast<uint32_t>(key);
    result = sendUEI(request);
    if (result == aErrNone) {
      uei reply = sStreamRequest(module, enable ? ueiOPTION_SET_REPLY | 1 : ueiOPTION_SET_REPLY | 2);
      reply.specifier = 0;
      result = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
      if (result == aErrNone && (reply.specifier & ueiSPECIFIER_ERROR)) result = static_cast<aErr>(reply.v.byteVal);
    }
  }
  if (result != aErrNone) m_impl->removeKeys(module, command, option, index);
  return result;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, streamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (state == nullptr) return aErrParam;
  aErr result = sendUEI(sStreamRequest(module, kStreamState));
  if (result != aErrNone) return result;
  uei reply = sStreamRequest(module, kStreamState & ueiOPTION_MASK);
  reply.specifier = 0;
  result = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
  if (result != aErrNone) return result;
  if (reply.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(reply.v.byteVal);
  *state = reply.v.byteVal;
  return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (value == nullptr) return aErrParam;
  std::lock_guard<std::mutex> guard(m_impl->streamLock);
  auto found = m_impl->streams.find(createStreamKey(module, command, option, index, subindex));
  if (found == m_impl->streams.end()) return aErrNotFound;
  *value = found->second.value;
  bool fresh = found->second.fresh;
  found->second.fresh = false;
  return fresh ? aErrNone : aErrStreamStale;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, uint32_t count, uint32_t* written) {
  if (!isConnected()) return aErrConnection;
  if (entries == nullptr || written == nullptr || count == 0) return aErrParam;
  *written = 0;
  std::lock_guard<std::mutex> guard(m_impl->streamLock);
  for (uint64_t key : m_impl->activeKeys(module, command, option, index, subindex)) {
    if (sHasWildcard(key)) continue;
    if (*written == count) return aErrSize;
    entries[(*written)++] = {key, m_impl->streams[key].value};
  }
  return aErrNone;
}

}  // namespace Veltrane::Tolvarine
