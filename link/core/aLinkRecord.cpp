// Initialising and releasing the engine's per-link record.
#include <stdio.h>

#include "link/core/aLinkInternal.h"

aErr sReleaseRecordParts(aLinkRecord* link) {
  aPacket_Destroy(&link->receive);
  aPacketLog_Destroy(&link->log);
  if (link->logLock != nullptr) aMutex_Destroy(&link->logLock);
  if (link->filterLock != nullptr) aMutex_Destroy(&link->filterLock);
  aErr result = aErrNone;
  if (link->stream != nullptr) result = aStream_Destroy(&link->stream);
  return result;
}

aLinkRef aLink_Init(aLinkRef id, aStream* stream) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return 0;
  // A re-initialisation (reset) releases what the previous round made; the
  // previous stream and FIFOs are already gone by then.
  aPacket_Destroy(&link->receive);
  aPacketLog_Destroy(&link->log);
  if (link->logLock != nullptr) aMutex_Destroy(&link->logLock);
  if (link->filterLock != nullptr) aMutex_Destroy(&link->filterLock);
  link->check = aLINK_CHECK;
  link->id = id;
  link->running = 0;
  link->stream = stream;
  link->state = stream != nullptr ? linkStateStopped : linkStateNoStream;
  link->inPipe = link->outPipe = nullptr;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->inStarted = link->outStarted = 0;
  link->heartbeat = 0;
  link->sync = kSyncStateSynced;
  link->receive = aPacket_Create();
  link->logSize = 0;
  link->filter = nullptr;
  link->filterReference = nullptr;
  link->pooled = 0;
  char name[255];
  snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  link->filterLock = aMutex_Create(name);
  // The log mutex exists from the start so that the pipes can test for a
  // log under it; the log itself comes with aLink_PacketDebug_Enable.
  snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
  link->logLock = aMutex_Create(name);
  if (link->inFifo == 0 || link->outFifo == 0 || link->receive == nullptr || link->filterLock == nullptr ||
      link->logLock == nullptr)
    return 0;
  return id;
}
