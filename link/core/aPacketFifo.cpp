#include "link/core/aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

struct SerialPacket {
  int32_t sequence;
  std::unique_ptr<aPacket, aPacketDeleter> packet;
};

struct packetFifo {
  std::deque<SerialPacket> entries;
  std::condition_variable ready;
  std::mutex lock;
  std::atomic<bool> open{true};
  std::atomic<int32_t> windowStart{0};
  std::atomic<int32_t> nextSequence{0};

  // Keeps the window at the oldest entry, or at the next number when empty.
  void syncWindow() {
    windowStart = entries.empty() ? nextSequence.load() : entries.front().sequence;
  }
};

std::atomic<uint64_t> gNextHandle{1};
std::mutex gRegistryLock;
std::map<aPacketFifoHandle, std::shared_ptr<packetFifo>>& sRegistry() {
  static auto* registry = new std::map<aPacketFifoHandle, std::shared_ptr<packetFifo>>();
  return *registry;
}

std::shared_ptr<packetFifo> sLookup(aPacketFifoHandle handle) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  auto found = sRegistry().find(handle);
  return found == sRegistry().end() ? nullptr : found->second;
}

int32_t sDiff(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Copies the entry's packet out and erases the entry; on a failed copy the
// entry stays. Caller holds the queue's lock.
aPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator entry) {
  aPacket* copy = aPacket_Copy(entry->packet.get());
  if (copy == nullptr) return nullptr;
  fifo.entries.erase(entry);
  fifo.syncWindow();
  return copy;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create(void) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    aPacketFifoHandle handle = gNextHandle++;
    if (handle == 0) handle = gNextHandle++;
    std::lock_guard<std::mutex> guard(gRegistryLock);
    sRegistry()[handle] = fifo;
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
  if (handle == nullptr) return aErrParam;
  try {
    std::shared_ptr<packetFifo> fifo;
    {
      std::lock_guard<std::mutex> guard(gRegistryLock);
      auto found = sRegistry().find(*handle);
      if (found == sRegistry().end()) return aErrNotFound;
      fifo = found->second;
      sRegistry().erase(found);
    }
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      fifo->entries.clear();
      fifo->syncWindow();
      fifo->open = false;
    }
    fifo->ready.notify_all();
    *handle = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
  auto fifo = sLookup(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> guard(fifo->lock);
  return static_cast<uint32_t>(fifo->entries.size());
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
  try {
    auto fifo = sLookup(handle);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
      if (!copy) return aErrParam;
      int32_t sequence = fifo->nextSequence.load();
      fifo->nextSequence = static_cast<int32_t>(static_cast<uint32_t>(sequence) + 1);
      fifo->entries.push_back(SerialPacket{sequence, std::move(copy)});
      fifo->syncWindow();
      if (fifo->entries.size() > aPACKETFIFO_CAPACITY) {
        // Overflow: the whole queue goes, silently.
        fifo->entries.clear();
        fifo->syncWindow();
        return aErrNone;
      }
    }
    fifo->ready.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) { return aPacketFifo_Await(handle, 0); }

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs) {
  try {
    auto fifo = sLookup(handle);
    if (!fifo) return nullptr;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> guard(fifo->lock);
    bool woken = fifo->ready.wait_until(guard, deadline,
                                        [&] { return !fifo->entries.empty() || !fifo->open; });
    if (!woken || fifo->entries.empty()) return nullptr;
    return sTake(*fifo, fifo->entries.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference) {
  try {
    auto fifo = sLookup(handle);
    if (!fifo || predicate == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(fifo->lock);
    for (auto entry = fifo->entries.begin(); entry != fifo->entries.end(); ++entry) {
      if (predicate(entry->packet.get(), reference)) return sTake(*fifo, entry);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference,
                                uint32_t timeoutMs) {
  try {
    auto fifo = sLookup(handle);
    if (!fifo || predicate == nullptr) return nullptr;
    auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> guard(fifo->lock);
    // Every entry is offered to the predicate at most once, however often
    // the waiter wakes: entries at or before lastExamined are skipped.
    // Nothing positional survives a wait: a Put while we sleep moves the
    // deque's iterators, so a match is taken in the same pass that found it.
    int32_t lastExamined = static_cast<int32_t>(static_cast<uint32_t>(fifo->windowStart.load()) - 1);
    aPacket* taken = nullptr;
    auto condition = [&] {
      for (auto entry = fifo->entries.begin(); entry != fifo->entries.end(); ++entry) {
        if (sDiff(entry->sequence, lastExamined) <= 0) continue;
        lastExamined = entry->sequence;
        if (predicate(entry->packet.get(), reference)) {
          taken = sTake(*fifo, entry);
          return true;
        }
      }
      return !fifo->open.load();
    };
    fifo->ready.wait_until(guard, deadline, condition);
    return taken;
  } catch (...) {
    return nullptr;
  }
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference) {
  try {
    auto fifo = sLookup(handle);
    if (!fifo || predicate == nullptr) return 0;
    std::lock_guard<std::mutex> guard(fifo->lock);
    size_t before = fifo->entries.size();
    std::deque<SerialPacket> kept;
    for (auto& entry : fifo->entries) {
      if (!predicate(entry.packet.get(), reference)) kept.push_back(std::move(entry));
    }
    fifo->entries.swap(kept);
    fifo->syncWindow();
    return static_cast<uint32_t>(before - fifo->entries.size());
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Close(aPacketFifoHandle handle) {
  auto fifo = sLookup(handle);
  if (!fifo) return aErrNotFound;
  {
    std::lock_guard<std::mutex> guard(fifo->lock);
    fifo->open = false;
  }
  fifo->ready.notify_all();
  return aErrNone;
}
