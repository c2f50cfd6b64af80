// Link table entries and the engine's per-link record (internal to the engine).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "link/core/aLink.h"
#include "link/core/aMutex.h"
#include "link/core/aPacketLog.h"
#include "link/core/aThread.h"

#define aLINK_CHECK 0xCEED
#define aLINK_LEGACY_IDENTIFIER 0xFFFFFFFFu
#define aLINK_POLL_STEP_MS 10
#define aLINK_POLL_STEPS 200
#define aLINK_POLL_LOOK_MS 1
#define aLINK_OUT_WAIT_MS 1000
#define aLINK_POOL_SIZE 4096
#define aLINK_SYNC_REQUESTS 6
// An idle in-pipe waits this long for readability on streams that answer at once.
#define aLINK_IDLE_WAIT_MS 100
// While synchronising, empty reads send new requests at most this often.
#define aLINK_RESYNC_PERIOD_MS 250
// Longest wait, once synchronised, for the answers to the spare requests.
#define aLINK_SYNC_SETTLE_MS 100

struct aLinkRecord {
  uint16_t check;
  aLinkRef id;
  std::atomic<uint8_t> running;
  std::atomic<int> state;
  aPacketFifoHandle inFifo;
  aPacket* receive;
  aPacketFifoHandle outFifo;
  aThread* inPipe;
  aThread* outPipe;
  std::atomic<uint8_t> inStarted;
  std::atomic<uint8_t> outStarted;
  aStream* stream;
  std::atomic<uint8_t> heartbeat;
  std::atomic<int> sync;
  std::atomic<uint8_t> syncAddress;
  uint32_t lastSyncStart;  // in-pipe only
  aPacketLog* log;
  int32_t logSize;
  aMutex* logLock;
  aLinkPacketFilter filter;
  void* filterReference;
  aMutex* filterLock;
  std::atomic<uint8_t> pooled;
  // Every write to the stream happens under writeLock. `queued` counts the
  // packets put on the out-FIFO whose write has not finished: while it is 0
  // a user's packet goes straight to the stream on the user's thread, saving
  // the hand-off to the out-pipe without changing the order of packets.
  // Lock order: queueLock, then writeLock.
  std::mutex writeLock;
  std::mutex queueLock;
  uint32_t queued = 0;  // under queueLock
  // The in-pipe's pause after a read error ends at once on a stop.
  std::mutex pauseLock;
  std::condition_variable pauseWake;
  // Synchronisation rounds started (each sends aLINK_SYNC_REQUESTS requests).
  std::atomic<uint32_t> syncRounds{0};
};

struct aLinkEntry {
  aLinkRef id;
  aLinkRef linkedId;
  struct aServer* server;
  uint32_t identifier;
  uint16_t port;
  int32_t clientIndex;
  linkType type;
  int16_t uses;
  aLinkRecord* record;
  aLinkEntry* next;
};

// Table (aLinkTable.cpp). Look-ups return the entry after releasing the lock.
aLinkEntry* sCreateEntry(linkType type, uint32_t identifier, uint16_t port, int32_t clientIndex);
aLinkEntry* sLookupEntryByID(aLinkRef id);
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier);
aLinkEntry* sLookupEntryByClient(uint32_t identifier, uint16_t port, int32_t clientIndex);
bool sRemoveEntry(aLinkEntry* entry);
void sAddUse(aLinkEntry* entry);
int16_t sDropUse(aLinkEntry* entry);
int32_t sCurrentClientIndex(void);
int32_t sNextClientIndex(void);
aLinkRecord* sLookupRecord(aLinkRef id);

// Record (aLinkRecord.cpp).
aErr sReleaseRecordParts(aLinkRecord* link);

// Pipes (aLinkPipes.cpp).
// Ends the pipes' waits: a stop wakes them instead of letting them run out.
void sWakePipes(aLinkRecord* link);
void sInPipeProcess(void* argument);
void sOutPipeProcess(void* argument);
aErr sStartSync(aLinkRecord* link);
// Queues a packet for the out-pipe (engine-made packets and busy links).
aErr sQueueOutgoing(aLinkRecord* link, const aPacket* packet);
// The out-pipe finished writing `count` queued packets.
void sQueuedWritten(aLinkRecord* link, uint32_t count);
// Writes one packet's wire bytes; the caller holds writeLock.
aErr sWritePacket(aLinkRecord* link, const aPacket* packet);
void sSyncByte(aLinkRecord* link, uint8_t byte);
aErr sHandlePacket(aLinkRecord* link, aPacket* packet);
void sLogPacket(aLinkRecord* link, uint8_t direction, const aPacket* packet);
