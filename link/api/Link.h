// The object face of one link to a module: how to reach the device, the
// connection, and the request/reply exchanges built on the engine's two
// primitives (put a packet, await the first queued packet a filter accepts).
// Every operation answers an aErr; nothing throws.
#pragma once

#include <stdint.h>

#include <vector>

#include "link/api/LinkStream.h"
#include "link/api/aEtherConfig.h"
#include "link/core/aErr.h"
#include "link/core/aLink.h"
#include "link/core/aPacket.h"
#include "link/core/aUEI.h"
#include "link/core/linkSpec.h"

namespace Veltrane::Tolvarine {

// A reply filter for receiveUEI: non-zero accepts the packet. The reference
// is the uei being received into.
typedef uint8_t (*ueiPacketFilter)(const aPacket* packet, const void* reference);

class Link : public LinkStream {
 public:
  struct impl;

  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Configuration ------------------------------------------------------------
  const char* getName() const;
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr setLinkSpecifier(linkSpec spec);  // aErrBusy while connected
  aErr getConfig(aEtherConfig* config) const;
  aErr setConfig(aEtherConfig config);  // aErrMode while connected

  // Connection ---------------------------------------------------------------
  aErr connect();
  // Serial number 0 takes the first module of `model` (any model for 0).
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  // Opens this link on the router's engine link (see Module).
  aErr connectThroughLinkModule(Link& router);
  bool isConnected() const;
  linkState getStatus() const;  // linkStateDeliveryError (8) without a link
  aErr disconnect();
  aErr reset();

  // Transactions (module addresses even and non-zero) -------------------------
  // The address of the module at the other end; aErrNotReady when unknown.
  aErr getModuleAddress(uint8_t* address);

  aErr sendUEI(uei value);
  aErr sendUEI(uei value, uint8_t subindex);
  // The caller sets the uei's module, command, option and specifier to the
  // reply it expects; the four bytes here take no part in matching.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* value);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* value,
                  ueiPacketFilter filter);
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);

  // One packet [command, data...]; length at most 27.
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  // The first packet whose leading *length bytes equal `match`; data holds 28.
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data);
  // The same, waiting at most `timeout_ms` for it.
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data, uint32_t timeout_ms);

  aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, uint32_t length);
  aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* data, uint32_t capacity,
                       uint32_t* unloaded);
  aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t* size);
  aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t* capacity);

  aErr getFactoryData(uint8_t address, uint8_t selector, uint8_t* data, uint32_t capacity, uint32_t* length);
  aErr setFactoryData(uint8_t address, uint8_t selector, const uint8_t* data, uint32_t length);

  aErr enablePooledPackets(bool enable);
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Stream subscriptions (0xFF is a wildcard where a key element allows it) ----
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              streamCallback callback, void* ref);
  aErr isLinkStreaming(uint8_t module, uint8_t* state);
  // aErrNone for a fresh sample, aErrStreamStale for one already read,
  // aErrNotFound when the key has no entry.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, uint32_t count, uint32_t* written);
  // Registered keys matching each given element (0xFF selects anything).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock = true);

 private:
  impl* m_impl;
};

}  // namespace Veltrane::Tolvarine
