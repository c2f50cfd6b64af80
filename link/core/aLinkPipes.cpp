// The two pipe threads, the synchronisation state machine and the heartbeat
// back channel.
//
// Synchronisation: the host sends six requests (0xAD, length 0); the module
// answers each with a zero-length packet from its address, so a stream in
// step reads A,0,A,0. Two such replies in a row mean the stream is framed.
// Heartbeat: the module sends (A, 2, 0, v) with v 0 (up) or 1 (down); the
// host answers (A, 2, 0, v + 2) and the heartbeat goes no further.
#include <string.h>

#include <chrono>

#include "link/core/aDebug.h"
#include "link/core/aLinkInternal.h"
#include "link/core/aTime.h"

aErr sWritePacket(aLinkRecord* link, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  wire[0] = packet->address;
  wire[1] = packet->length;
  memcpy(wire + 2, packet->data, packet->length);
  return aStream_Write(link->stream, wire, packet->length + 2u);
}

aErr sQueueOutgoing(aLinkRecord* link, const aPacket* packet) {
  std::lock_guard<std::mutex> hold(link->queueLock);
  aErr result = aPacketFifo_Put(link->outFifo, packet);
  if (result == aErrNone) ++link->queued;
  return result;
}

void sQueuedWritten(aLinkRecord* link, uint32_t count) {
  std::lock_guard<std::mutex> hold(link->queueLock);
  link->queued = link->queued > count ? link->queued - count : 0;
}

namespace {

// Answers a heartbeat; false when the packet is not one.
bool sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
  if (packet->length != 2 || packet->data[0] != 0 || link->heartbeat >= 2) return false;
  uint8_t value = packet->data[1];
  if (value == 0) {
    link->heartbeat = 2;
    aTRACE(aTRACE_PACKETS, "sending HB UP\n");
  } else if (value == 1) {
    link->heartbeat = 3;
    aTRACE(aTRACE_PACKETS, "sending HB DOWN\n");
  }
  uint8_t answer[2] = {0, static_cast<uint8_t>(value + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (reply != nullptr) {
    sQueueOutgoing(link, reply);
    aPacket_Destroy(&reply);
  }
  link->heartbeat = 0;
  return true;
}

void sReadByte(aLinkRecord* link, uint8_t byte) {
  if (link->state == linkStateSynchronising) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->receive, byte) != aErrNone) {
    aTRACE(aTRACE_LINK, "Out of sync\n");
    sStartSync(link);
    return;
  }
  if (aPacket_IsComplete(link->receive) && sHandlePacket(link, link->receive) != aErrNone)
    link->state = linkStateDeliveryError;
}

}  // namespace

void sLogPacket(aLinkRecord* link, uint8_t direction, const aPacket* packet) {
  if (link->logLock == nullptr) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  wire[0] = packet->address;
  wire[1] = packet->length;
  memcpy(wire + 2, packet->data, packet->length);
  aMutex_Lock(link->logLock);
  if (link->log != nullptr) aPacketLog_Store(link->log, direction, packet->length + 2u, wire);
  aMutex_Unlock(link->logLock);
}

aErr sStartSync(aLinkRecord* link) {
  link->state = linkStateSynchronising;
  link->sync = kSyncStateStart;
  link->lastSyncStart = aTime_GetMSTicks();
  aPacket_Reset(link->receive);
  ++link->syncRounds;
  aPacket* request = aPacket_Create();
  if (request == nullptr) return aErrMemory;
  request->address = aPACKET_ADDR_SYNC;
  request->fillCount = 2;
  aErr result = aErrNone;
  for (int i = 0; i < aLINK_SYNC_REQUESTS; ++i) result = sQueueOutgoing(link, request);
  aPacket_Destroy(&request);
  if (result == aErrNone) link->sync = kSyncStateByte1;
  return result;
}

void sSyncByte(aLinkRecord* link, uint8_t byte) {
  switch (link->sync.load()) {
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->sync = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2: link->sync = byte == 0 ? kSyncStateByte3 : kSyncStateStart; break;
    case kSyncStateByte3: link->sync = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart; break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->sync = kSyncStateSynced;
        link->state = linkStateRunning;
        aTRACE(aTRACE_LINK, "link %u synchronised on address %u\n", link->id, link->syncAddress.load());
      } else {
        link->sync = kSyncStateStart;
      }
      break;
    default: sStartSync(link); break;  // start, synced or unknown
  }
}

aErr sHandlePacket(aLinkRecord* link, aPacket* packet) {
  sLogPacket(link, aPACKETLOG_RECEIVED, packet);
  bool consumed = false;
  aMutex_Lock(link->filterLock);
  if (link->filter != nullptr) consumed = link->filter(packet, link->filterReference);
  aMutex_Unlock(link->filterLock);
  aErr result = aErrNone;
  if (!consumed && !sHandleHBBackChannel(link, packet)) result = aPacketFifo_Put(link->inFifo, packet);
  aPacket_Reset(packet);
  return result;
}

void sInPipeProcess(void* argument) {
  aLinkRecord* link = static_cast<aLinkRecord*>(argument);
  link->heartbeat = 0;
  link->syncAddress = 1;  // odd: matches no module address
  link->inStarted = 1;
  link->state = linkStateRunning;
  link->sync = kSyncStateSynced;
  uint32_t reconnections = aStream_Reconnections(link->stream);
  while (link->running) {
    uint8_t byte = 0;
    aErr result = aStream_Read(link->stream, &byte, 1);
    // A connection the stream had to make anew is a dropped link, however
    // quickly it was made: the module lost the one it had (a reset, a
    // restart), and with it whatever it knew of this link.
    if (aStream_Reconnections(link->stream) != reconnections) {
      reconnections = aStream_Reconnections(link->stream);
      link->state = linkStateIOError;
    }
    if (result == aErrNone) {
      sReadByte(link, byte);
      continue;
    }
    if (result == aErrNotReady) {
      // Nothing to read. While synchronising, ask again, but not on every
      // empty read: at most once per resync period (or at once when a sync
      // was requested and has not started).
      if (link->state == linkStateSynchronising &&
          (link->sync == kSyncStateSynced ||
           aTime_GetMSTicks() - link->lastSyncStart >= aLINK_RESYNC_PERIOD_MS))
        sStartSync(link);
      // A connection the module closed is a dropped link until it is made anew.
      if (aStream_IsLost(link->stream)) link->state = linkStateIOError;
      aStream_WaitReadable(link->stream, aLINK_IDLE_WAIT_MS);
      continue;
    }
    link->state = linkStateIOError;
    std::unique_lock<std::mutex> pause(link->pauseLock);
    link->pauseWake.wait_for(pause, std::chrono::milliseconds(100), [link] { return !link->running; });
  }
  aTRACE(aTRACE_LINK, " sInPipeProcess(%d) terminating\n", link->id);
}

void sWakePipes(aLinkRecord* link) {
  {
    std::lock_guard<std::mutex> pause(link->pauseLock);  // a pause about to begin sees the flag
  }
  link->pauseWake.notify_all();
  aPacketFifo_Close(link->outFifo);
  aPacketFifo_Close(link->inFifo);
  aStream_Interrupt(link->stream);
}

void sOutPipeProcess(void* argument) {
  aLinkRecord* link = static_cast<aLinkRecord*>(argument);
  link->outStarted = 1;
  uint8_t* pool = new uint8_t[aLINK_POOL_SIZE];
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outFifo, aLINK_OUT_WAIT_MS);
    if (packet == nullptr) {
      // A FIFO that overflowed dropped its packets unwritten: count afresh.
      std::lock_guard<std::mutex> hold(link->queueLock);
      if (aPacketFifo_GetLength(link->outFifo) == 0) link->queued = 0;
      continue;
    }
    uint32_t written = 1;
    std::unique_lock<std::mutex> hold(link->writeLock);
    if (!link->pooled) {
      aErr result = sWritePacket(link, packet);
      if (result != aErrNone) aTRACE(aTRACE_PACKETS, "sOutPipeProcess error writing: %d\n", result);
    } else {
      // Pack as many queued packets as fit, leaving room for a largest one.
      size_t total = 0;
      for (aPacket* next = packet; next != nullptr;) {
        pool[total] = next->address;
        pool[total + 1] = next->length;
        memcpy(pool + total + 2, next->data, next->length);
        total += next->length + 2u;
        if (next != packet) aPacket_Destroy(&next);
        next = total + aPACKET_MAX_WIRE <= aLINK_POOL_SIZE ? aPacketFifo_Get(link->outFifo) : nullptr;
        if (next != nullptr) ++written;
      }
      aErr result = aStream_Write(link->stream, pool, total);
      if (result != aErrNone) aTRACE(aTRACE_PACKETS, "sOutPipeProcess error writing pooled: %d\n", result);
    }
    sLogPacket(link, aPACKETLOG_SENT, packet);
    hold.unlock();
    sQueuedWritten(link, written);
    aPacket_Destroy(&packet);
  }
  // Whatever is still queued (route control 0 on a stop) goes out unpooled.
  std::lock_guard<std::mutex> counting(link->queueLock);
  std::lock_guard<std::mutex> writing(link->writeLock);
  link->queued = 0;
  for (aPacket* packet = aPacketFifo_Get(link->outFifo); packet != nullptr;
       packet = aPacketFifo_Get(link->outFifo)) {
    sWritePacket(link, packet);
    aPacket_Destroy(&packet);
  }
  delete[] pool;
  aTRACE(aTRACE_PACKETS, " sOutPipeProcess(%d) terminating\n", link->id);
}
