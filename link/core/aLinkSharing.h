// The engine's shared-link paths (aLink_CreateServer, client links, the
// server a USB link owns) need the link-sharing server and its client stream,
// which live in the layer above the engine (link/api). That layer registers
// its procedures here, so the engine calls up only through this table and
// never links against its own user. Until a table is registered every
// procedure fails, as if no server or client stream could be made.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aStream.h"

struct aServer;

typedef struct aLinkSharingProcs {
  aErr (*createClientStream)(uint32_t address, uint16_t port, aStream** stream);
  struct aServer* (*create)(uint32_t linkId, uint32_t interfaceAddress, bool localOnly);
  aErr (*start)(struct aServer* server);
  aErr (*destroy)(struct aServer** server);
  aErr (*getPort)(struct aServer* server, uint16_t* port);
  aErr (*getInterface)(struct aServer* server, uint32_t* interfaceAddress);
  aErr (*setModuleAddress)(struct aServer* server, uint8_t address);
  aErr (*setModel)(struct aServer* server, uint8_t model);
  aErr (*flushFIFO)(struct aServer* server);
} aLinkSharingProcs;

// The table must outlive every link; null restores the failing table.
void aLinkSharing_Register(const aLinkSharingProcs* procs);
// Never null.
const aLinkSharingProcs* aLinkSharing_Procs(void);
