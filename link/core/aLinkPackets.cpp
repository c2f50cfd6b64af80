// Packet traffic on a link's FIFOs, the user filter, pooling, route control
// and the two device queries of the shared-link set-up.
#include "link/core/aDebug.h"
#include "link/core/aLinkInternal.h"
#include "link/core/aLinkSharing.h"
#include "link/core/aTime.h"

#define aLINK_QUERY_WAIT_MS 1000

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet)) return aErrParam;
  if (!link->pooled) {
    // An idle, running, unpooled link: write on this thread. Nothing queued
    // is left unwritten, so the order of packets stays as it was put.
    std::lock_guard<std::mutex> counting(link->queueLock);
    std::lock_guard<std::mutex> writing(link->writeLock);
    if (link->queued == 0 && link->running && link->outStarted && link->state == linkStateRunning &&
        link->stream != nullptr) {
      aErr result = sWritePacket(link, packet);
      if (result != aErrNone) aTRACE(aTRACE_PACKETS, "aLink_PutPacket error writing: %d\n", result);
      sLogPacket(link, aPACKETLOG_SENT, packet);
      return aErrNone;  // like the out-pipe: a failed write drops the packet
    }
  }
  return sQueueOutgoing(link, packet);
}

aPacket* aLink_GetPacket(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  return link != nullptr ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs) {
  aLinkRecord* link = sLookupRecord(id);
  return link != nullptr ? aPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFifoPredicate predicate, void* reference) {
  aLinkRecord* link = sLookupRecord(id);
  return link != nullptr ? aPacketFifo_GetFirst(link->inFifo, predicate, reference) : nullptr;
}

// Waits only while the link runs and is in step: a stopped, broken or
// synchronising link answers at once. A time-out of 0 still looks once.
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFifoPredicate predicate, void* reference, uint32_t timeoutMs) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return nullptr;
  uint32_t start = aTime_GetMSTicks();
  aPacket* found = nullptr;
  for (bool first = true; found == nullptr && link->running && link->state == linkStateRunning; first = false) {
    uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= timeoutMs && !first) break;
    uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    found = aPacketFifo_AwaitFirst(link->inFifo, predicate, reference, left);
    if (left == 0) break;
  }
  return found;
}

uint32_t aLink_DrainPackets(aLinkRef id, aPacketFifoPredicate predicate, void* reference) {
  aLinkRecord* link = sLookupRecord(id);
  return link != nullptr ? aPacketFifo_DrainPackets(link->inFifo, predicate, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkPacketFilter filter, void* reference) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr || link->filterLock == nullptr) return aErrParam;
  aMutex_Lock(link->filterLock);
  link->filter = filter;
  link->filterReference = filter != nullptr ? reference : nullptr;
  aMutex_Unlock(link->filterLock);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, bool pooled) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return aErrParam;
  link->pooled = pooled ? 1 : 0;
  return aErrNone;
}

aErr aLink_ForceRoute(aLinkRef id, uint8_t value) {
  aLinkEntry* entry = sLookupEntryByID(id);
  if (entry == nullptr) return aErrNotFound;
  if (entry->record == nullptr) return aErrParam;
  aPacket* packet = aPacket_CreateWithData(aPACKET_ADDR_ROUTE, 1, &value);
  if (packet == nullptr) return aErrMemory;
  aErr result = sQueueOutgoing(entry->record, packet);
  aPacket_Destroy(&packet);
  return result;
}

aErr _aLink_GetModuleAddress(aLinkRef id, uint8_t* address) {
  if (address == nullptr) return aErrParam;
  aPacket* request = aPacket_Create();
  if (request == nullptr) return aErrMemory;
  request->address = aPACKET_ADDR_SYNC;
  request->fillCount = 2;
  aErr result = aLink_PutPacket(id, request);
  aPacket_Destroy(&request);
  if (result != aErrNone) return result;
  aPacket* reply = aLink_AwaitPacket(id, aLINK_QUERY_WAIT_MS);
  if (reply == nullptr) return aErrTimeout;
  result = reply->length == 0 && reply->address != 0 ? aErrNone : aErrIO;
  if (result == aErrNone) *address = reply->address;
  aPacket_Destroy(&reply);
  return result;
}

aErr _aLink_GetModel(aLinkRef id, uint8_t moduleAddress, uint8_t* model) {
  if (model == nullptr) return aErrParam;
  static const uint8_t kQuery[3] = {3, 0x48, 0x20};  // command 3, get option 8, index 0
  aPacket* request = aPacket_CreateWithData(moduleAddress, 3, kQuery);
  if (request == nullptr) return aErrMemory;
  aErr result = aLink_PutPacket(id, request);
  aPacket_Destroy(&request);
  if (result != aErrNone) return result;
  aPacket* reply = aLink_AwaitPacket(id, aLINK_QUERY_WAIT_MS);
  if (reply == nullptr) return aErrTimeout;
  result = reply->length == 4 && reply->address == moduleAddress && reply->data[0] == 3 ? aErrNone : aErrIO;
  if (result == aErrNone) *model = reply->data[3];
  aPacket_Destroy(&reply);
  return result;
}

aErr _aLink_ConfigureServerDetails(aLinkRef id, aServer* server) {
  uint8_t address = 0;
  uint8_t model = 0;
  const aLinkSharingProcs* sharing = aLinkSharing_Procs();
  aErr result = _aLink_GetModuleAddress(id, &address);
  if (result == aErrNone) result = sharing->setModuleAddress(server, address);
  if (result == aErrNone) {
    result = _aLink_GetModel(id, address, &model);
    if (result == aErrNone) result = sharing->setModel(server, model);
  }
  if (result != aErrNone) sharing->flushFIFO(server);
  return result;
}
