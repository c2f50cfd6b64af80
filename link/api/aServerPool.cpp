// Byte-block pooling: the chunks of one client's multi-packet UEI byte-block
// write are held until its last chunk and then sent to the worker back to
// back, so no other client's packet lands between them on the module.
// A pool whose write never completes dies after aSERVER_POOL_TTL further
// client packets.
#include "link/api/aServerInternal.h"
#include "link/core/aUEI.h"

namespace {

void sFree(aServerPool& pool) {
  for (aPacket*& packet : pool.packets) aPacket_Destroy(&packet);
  pool.packets.clear();
}

// Every client packet ages every pool by one.
void sAge(aServer* server) {
  for (auto it = server->pools->begin(); it != server->pools->end();) {
    if (it->ttl == 0) {
      aTRACE(aTRACE_SERVER, "setUEIBytes is stale, destroying\n");
      sFree(*it);
      it = server->pools->erase(it);
    } else {
      --it->ttl;
      ++it;
    }
  }
}

bool sOpensBlock(const aPacket* packet) {
  return packet->length == aPACKET_MAX_DATA && aUEI_getBytesContinue(packet) && aUEI_getBytesSequence(packet) == 0;
}

}  // namespace

bool aServer_PoolPacket(aServer* server, const std::string& identity, const aPacket* packet) {
  if (server->pools == nullptr) return false;
  sAge(server);
  if (!aUEI_isUEIPayload(packet)) return false;
  auto pool = server->pools->begin();
  while (pool != server->pools->end() && pool->identity != identity) ++pool;
  if (pool == server->pools->end()) {
    if (!sOpensBlock(packet)) return false;
    aPacket* copy = aPacket_Copy(packet);
    if (copy == nullptr) return false;
    server->pools->push_back(aServerPool{identity, {copy}, 0, aSERVER_POOL_TTL});
    return true;
  }
  if (aUEI_getBytesSequence(packet) != ((pool->count + 1) & ueiBYTES_SEQUENCE_MASK)) {
    aTRACE(aTRACE_SERVER, "BOOM: Sequence mix up. ttl will clean it up. ");
    return true;
  }
  aPacket* copy = aPacket_Copy(packet);
  if (copy == nullptr) return true;
  pool->packets.push_back(copy);
  if (aServer_IsContinuedChunk(packet)) {
    pool->count = static_cast<uint8_t>(pool->count + 1);
    return true;
  }
  // The last chunk: one reply answers the whole block.
  for (const aPacket* chunk : pool->packets) {
    aTRACE(aTRACE_SERVER, "Pool Packet: %d\n", aUEI_getBytesSequence(chunk));
    if (chunk == pool->packets.back()) {
      aServer_ForwardRequest(server, identity, chunk);
    } else {
      aServer_Forward(server, chunk);
    }
  }
  sFree(*pool);
  server->pools->erase(pool);
  return true;
}

void aServer_DestroyPools(aServer* server) {
  if (server->pools == nullptr) return;
  for (aServerPool& pool : *server->pools) sFree(pool);
  delete server->pools;
  server->pools = nullptr;
}
