// Link table entries and the engine's per-link record (internal to the engine).
#pragma once

#include <atomic>

#include "link/core/aLink.h"
#include "link/core/aMutex.h"
#include "link/core/aPacketLog.h"
#include "link/core/aThread.h"

#define aLINK_CHECK 0xCEED
#define aLINK_LEGACY_IDENTIFIER 0xFFFFFFFFu
#define aLINK_POLL_STEP_MS 10
#define aLINK_POLL_STEPS 200
#define aLINK_OUT_WAIT_MS 1000
#define aLINK_POOL_SIZE 4096
#define aLINK_SYNC_REQUESTS 6
// An idle in-pipe waits this long for readability on streams that answer at once.
#define aLINK_IDLE_WAIT_MS 100
// While synchronising, empty reads send new requests at most this often.
#define aLINK_RESYNC_PERIOD_MS 250

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
void sInPipeProcess(void* argument);
void sOutPipeProcess(void* argument);
aErr sStartSync(aLinkRecord* link);
void sSyncByte(aLinkRecord* link, uint8_t byte);
aErr sHandlePacket(aLinkRecord* link, aPacket* packet);
void sLogPacket(aLinkRecord* link, uint8_t direction, const aPacket* packet);
