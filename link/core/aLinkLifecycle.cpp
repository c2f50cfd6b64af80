// Start, stop, synchronise, reset and destroy.
#include <algorithm>

#include "link/core/aDebug.h"
#include "link/core/aLinkInternal.h"
#include "link/core/aLinkSharing.h"
#include "link/core/aTime.h"

namespace {

// Looks often: the pipes come up and a module answers well within a step;
// the ceiling is the whole 200 steps of 10 ms.
template <typename Done>
bool sPoll(Done done) {
  const uint32_t start = aTime_GetMSTicks();
  while (aTime_GetMSTicks() - start < aLINK_POLL_STEPS * aLINK_POLL_STEP_MS) {
    if (done()) return true;
    aTime_MSSleep(aLINK_POLL_LOOK_MS);
  }
  return done();
}

bool sAll(const aPacket*, void*) { return true; }
bool sZeroLength(const aPacket* packet, void*) { return packet->length == 0; }

bool sIsSyncRequest(const aPacket* packet, void*) {
  return packet->address == aPACKET_ADDR_SYNC && packet->length == 0;
}

// The module answers every request that reached it; the machine needs two
// answers and the rest arrive after it, to be drained with anything else
// queued. Requests still queued when the machine finished are never sent (a
// slow stream, such as USB, writes them one transfer at a time while the
// first answers come back), so they raise no answer. After a single round the
// number of answers to come is known: the pause ends once they are in.
void sAwaitStrayReplies(aLinkRecord* link, bool singleRound, uint32_t unsent) {
  const uint32_t start = aTime_GetMSTicks();
  const uint32_t sent = aLINK_SYNC_REQUESTS - std::min<uint32_t>(unsent, aLINK_SYNC_REQUESTS);
  const uint32_t stray = sent > 2 ? sent - 2 : 0;
  for (uint32_t seen = 0; singleRound && seen < stray; ++seen) {
    uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= aLINK_SYNC_SETTLE_MS) return;
    aPacket* reply = aPacketFifo_AwaitFirst(link->inFifo, sZeroLength, nullptr, aLINK_SYNC_SETTLE_MS - elapsed);
    if (reply == nullptr) return;
    aPacket_Destroy(&reply);
  }
  if (singleRound) return;
  uint32_t elapsed = aTime_GetMSTicks() - start;
  if (elapsed < aLINK_SYNC_SETTLE_MS) aTime_MSSleep(aLINK_SYNC_SETTLE_MS - elapsed);
}

aErr sRecreateStream(const aLinkEntry* entry, aStream** stream) {
  switch (entry->type) {
    case linkTypeUSB: return aStream_CreateUSB(entry->identifier, stream);
    case linkTypeTCPIP: return aStream_CreateSocket(entry->identifier, entry->port, stream);
    case linkTypeClient: return aLinkSharing_Procs()->createClientStream(entry->identifier, entry->port, stream);
    default:
      aTRACE(aTRACE_LINK, " recreate invalid stream type\n");
      return aErrParam;
  }
}

}  // namespace

aErr aLink_Start(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr || link->check != aLINK_CHECK) return aErrParam;
  if (link->running) return aErrNone;
  link->running = 1;
  link->state = linkStateStarting;
  link->heartbeat = 0;
  link->inStarted = link->outStarted = 0;
  link->inPipe = aThread_Create(sInPipeProcess, link);
  link->outPipe = aThread_Create(sOutPipeProcess, link);
  if (link->inPipe == nullptr || link->outPipe == nullptr) {
    link->running = 0;
    aThread_Destroy(&link->inPipe);
    aThread_Destroy(&link->outPipe);
    return aErrResource;
  }
  bool up = sPoll([link] { return link->inStarted && link->outStarted && link->state == linkStateRunning; });
  if (!up) return aErrIndexRange;
  return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLinkRecord* link) {
  if (link == nullptr) return aErrParam;
  int state = link->state;
  if (state == linkStateStopping || state == linkStateStopped) return aErrNone;
  link->state = linkStateStopping;
  if (link->inPipe == nullptr || link->outPipe == nullptr) {
    link->running = 0;
    link->state = link->stream != nullptr ? linkStateStopped : linkStateNoStream;
    return aErrNone;
  }
  // Queued before the pipes end: the out-pipe sends what is left on its way out.
  aErr result = aLink_ForceRoute(link->id, 0);
  link->running = 0;
  sWakePipes(link);
  if (aThread_Destroy(&link->inPipe) != 0) result = aErrUnknown;
  if (aThread_Destroy(&link->outPipe) != 0) result = aErrUnknown;
  link->inStarted = link->outStarted = 0;
  aPacket_Reset(link->receive);
  link->state = linkStateStopped;
  link->heartbeat = 0;
  return result;
}

aErr aLink_Sync(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr || link->check != aLINK_CHECK) return aErrParam;
  link->state = linkStateSynchronising;
  uint32_t rounds = link->syncRounds;
  aStream_Interrupt(link->stream);  // an idle in-pipe starts at once, not after its wait
  bool synced = sPoll([link] { return link->state == linkStateRunning; });
  uint32_t unsent = 0;
  {
    std::lock_guard<std::mutex> hold(link->queueLock);
    unsent = aPacketFifo_DrainPackets(link->outFifo, sIsSyncRequest, nullptr);
    uint32_t drained = unsent + aPacketFifo_DrainPackets(link->outFifo, sAll, nullptr);
    link->queued -= std::min(link->queued, drained);
  }
  sAwaitStrayReplies(link, synced && link->syncRounds - rounds == 1, unsent);
  aPacketFifo_DrainPackets(link->inFifo, sAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ResetLink(aLinkRef id) { return aLink_Reset(id); }

aErr aLink_Reset(aLinkRef id) {
  aLinkEntry* entry = sLookupEntryByID(id);
  if (entry == nullptr || entry->record == nullptr) return aErrParam;
  aLinkRecord* link = entry->record;
  aLink_Stop(link);
  {
    // A user's write in progress finishes before its stream goes.
    std::lock_guard<std::mutex> counting(link->queueLock);
    std::lock_guard<std::mutex> writing(link->writeLock);
    aPacketFifo_Destroy(&link->inFifo);
    aPacketFifo_Destroy(&link->outFifo);
    if (link->stream != nullptr) aStream_Destroy(&link->stream);
    link->queued = 0;
  }
  aStream* stream = nullptr;
  aErr result = aErrParam;
  for (int attempt = 0; attempt < 20; ++attempt) {
    result = sRecreateStream(entry, &stream);
    if (result == aErrNone || result == aErrParam) break;
    aTime_MSSleep(100);
  }
  if (result != aErrNone) {
    aTRACE(aTRACE_LINK, " ERROR - could not recreate stream: %d\n", result);
    link->state = linkStateNoStream;
    return result;
  }
  if (aLink_Init(id, stream) == 0) return aErrResource;
  return aLink_Start(id);
}

aErr aLink_Destroy(aLinkRef* id) {
  if (id == nullptr) return aErrParam;
  aLinkEntry* entry = sLookupEntryByID(*id);
  *id = 0;
  if (entry == nullptr) return aErrParam;
  if (sDropUse(entry) > 0) return aErrNone;
  aLinkRecord* link = entry->record;
  if (link != nullptr && link->filterLock != nullptr) aLink_InstallUserPacketFilter(entry->id, nullptr, nullptr);
  sRemoveEntry(entry);
  aErr result = aErrUnknown;
  if (link != nullptr) {
    aLink_Stop(link);  // reports aErrNotFound here: the entry has left the table
    if (entry->server != nullptr) aLinkSharing_Procs()->destroy(&entry->server);
    if (entry->linkedId != 0) aLink_Destroy(&entry->linkedId);
    aPacketFifo_Destroy(&link->inFifo);
    result = aPacketFifo_Destroy(&link->outFifo);
    sReleaseRecordParts(link);
    link->check = 0;
    delete link;
  }
  delete entry;
  return result;
}

linkState aLink_GetStatus(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return linkStateNoStream;
  return static_cast<linkState>(link->state.load());
}
