// The per-link packet log, kept under the link's log mutex.
#include <stdio.h>

#include "link/core/aLinkInternal.h"

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr || link->logLock == nullptr || size > aPACKETLOG_MAX_SIZE) return aErrParam;
  aMutex_Lock(link->logLock);
  aErr result = link->log != nullptr ? aErrBusy : aErrNone;
  if (result == aErrNone) link->logSize = size < 0 ? 0 : size;
  aMutex_Unlock(link->logLock);
  return result;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return aErrParam;
  if (link->logLock == nullptr) {
    char name[64];
    snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->logLock = aMutex_Create(name);
    if (link->logLock == nullptr) return aErrResource;
  }
  aMutex_Lock(link->logLock);
  if (link->log == nullptr) {
    uint32_t size = link->logSize > 0 ? static_cast<uint32_t>(link->logSize) : aPACKETLOG_DEFAULT_SIZE;
    link->log = aPacketLog_Create(size);
  }
  bool made = link->log != nullptr;
  aMutex_Unlock(link->logLock);
  return made ? aErrNone : aErrResource;
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr || link->logLock == nullptr) return aErrParam;
  aMutex_Lock(link->logLock);
  aErr result = link->log == nullptr ? aErrNotReady : aErrNone;
  aMutex_Unlock(link->logLock);
  return result;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return aErrParam;
  if (link->logLock == nullptr) return aErrNotReady;
  aMutex_Lock(link->logLock);
  aErr result = link->log == nullptr ? aErrNotReady : aPacketLog_Take(link->log, direction, length, buffer);
  aMutex_Unlock(link->logLock);
  return result;
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, uint32_t length, const uint8_t* bytes) {
  aLinkRecord* link = sLookupRecord(id);
  if (link == nullptr) return aErrParam;
  if (link->logLock == nullptr) return aErrNotReady;
  aMutex_Lock(link->logLock);
  aErr result = link->log == nullptr ? aErrNotReady : aPacketLog_Store(link->log, direction, length, bytes);
  aMutex_Unlock(link->logLock);
  return result;
}
