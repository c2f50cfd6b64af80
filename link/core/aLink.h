// The link engine: one byte stream, two packet FIFOs and two pipe threads per
// link, kept in a process-wide table under small integer ids (0 = failure).
// The in-pipe frames and synchronises the byte stream, answers heartbeats and
// queues received packets; the out-pipe writes queued packets.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aPacket.h"
#include "link/core/aPacketFifo.h"
#include "link/core/aStream.h"
#include "link/core/linkSpec.h"

typedef uint32_t aLinkRef;

typedef enum linkState {
  linkStateStopped = 0,
  linkStateStarting = 1,
  linkStateRunning = 2,
  linkStateStopping = 3,
  linkStateSynchronising = 4,
  linkStateNoStream = 5,  // also: no such link
  linkStateIOError = 6,
  linkStateDeliveryError = 8
} linkState;

typedef enum syncState {
  kSyncStateSynced = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5
} syncState;

// A packet filter sees every received packet on the in-pipe before the FIFO;
// true means it consumed the packet.
typedef bool (*aLinkPacketFilter)(const aPacket* packet, void* reference);

struct aServer;
typedef struct aLinkRecord aLinkRecord;

// Creation: every successful call adds one use, matched by one aLink_Destroy.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port);
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate);
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference);
aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress, bool localOnly);
aLinkRef aLink_Create(aStream* stream);

aErr aLink_Destroy(aLinkRef* id);
aLinkRef aLink_Init(aLinkRef id, aStream* stream);
aErr aLink_Start(aLinkRef id);
aErr aLink_Stop(aLinkRecord* link);
aErr aLink_Sync(aLinkRef id);
aErr aLink_Reset(aLinkRef id);
aErr aLink_ResetLink(aLinkRef id);
linkState aLink_GetStatus(aLinkRef id);

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);
aPacket* aLink_GetPacket(aLinkRef id);
aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFifoPredicate predicate, void* reference);
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFifoPredicate predicate, void* reference, uint32_t timeoutMs);
uint32_t aLink_DrainPackets(aLinkRef id, aPacketFifoPredicate predicate, void* reference);
aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkPacketFilter filter, void* reference);
aErr aLink_EnablePooledPackets(aLinkRef id, bool pooled);
aErr aLink_ForceRoute(aLinkRef id, uint8_t value);

// Packet log: a byte ring of records (direction, length, bytes).
#define aPACKETLOG_DEFAULT_SIZE 65536
#define aPACKETLOG_MAX_SIZE 0x4000000
#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size);
aErr aLink_PacketDebug_Enable(aLinkRef id);
aErr aLink_PacketDebug_Disable(aLinkRef id);
aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, uint32_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, uint32_t length, const uint8_t* bytes);

// Device queries used while setting up a shared link.
aErr _aLink_GetModuleAddress(aLinkRef id, uint8_t* address);
aErr _aLink_GetModel(aLinkRef id, uint8_t moduleAddress, uint8_t* model);
aErr _aLink_ConfigureServerDetails(aLinkRef id, struct aServer* server);
