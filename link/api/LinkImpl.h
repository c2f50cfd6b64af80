// What a Link holds behind its interface, shared by the Link sources only.
#pragma once

#include <stdint.h>

#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "link/api/Link.h"
#include "link/api/LocklessQueue_SPSC.h"
#include "link/core/aLogger.h"

namespace Veltrane::Tolvarine {

// The latest sample of one subscribed key and who wants to hear of it.
struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;
  Link::streamCallback callback;
  void* ref = nullptr;
  uint32_t value = 0;
};

// One callback waiting for the worker; owns its packet copy until it has run.
struct asyncPacket {
  Link::streamCallback callback;
  void* ref = nullptr;
  aPacket* packet = nullptr;
};

inline constexpr uint16_t kAsyncQueueSlots = 500;

struct Link::impl {
  explicit impl(Link* owner, const char* name);
  ~impl();

  // Streaming on: the engine hands stream packets to linkStreamFilter and the
  // worker runs. Off: the table is cleared and the worker ends.
  aErr installStreamFilter(bool on);
  void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
  void asyncWork(std::future<void> stop);
  std::vector<uint64_t> activeKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                   uint8_t subindex) const;
  void removeKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  Link* owner;
  aLinkRef linkId = 0;
  aLogger* packetLogger = nullptr;
  aEtherConfig config;
  std::map<uint64_t, StreamEntry> streams;
  std::thread* asyncThread = nullptr;
  Veltrane::LocklessQueue_SPSC<asyncPacket> asyncQueue{kAsyncQueueSlots};
  std::promise<void> stopSignal;
  std::mutex streamLock;
  char* name = nullptr;
  linkSpec* specifier = nullptr;
};

// Runs on the engine's receiving thread; true takes the packet off the link.
bool linkStreamFilter(const aPacket* packet, void* reference);

// Module addresses are even and non-zero.
inline bool validModuleAddress(uint8_t address) { return address != 0 && (address & 1) == 0; }

// Reply time-outs of the request/reply exchanges, in milliseconds.
inline constexpr uint32_t kReplyTimeoutMs = 1000;
inline constexpr uint32_t kLongReplyTimeoutMs = 4000;
inline constexpr uint32_t kLongPayloadBytes = 1000;

}  // namespace Veltrane::Tolvarine
