// Packet queues known by a 64-bit handle (0 = none). Puts copy the caller's
// packet; every take returns a new copy the caller destroys.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aPacket.h"

#define aPACKETFIFO_CAPACITY 1000

typedef uint64_t aPacketFifoHandle;
typedef bool (*aPacketFifoPredicate)(const aPacket* packet, void* reference);

aPacketFifoHandle aPacketFifo_Create(void);
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);
// Wakes every waiter; from now on waits return at once (what is queued can
// still be taken, and puts still queue). A link's stop closes its FIFOs so
// that no thread waits out its time-out on them.
aErr aPacketFifo_Close(aPacketFifoHandle handle);
uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle);
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference,
                                uint32_t timeoutMs);
uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFifoPredicate predicate, void* reference);
