// The link-sharing server and its client stream. The server shares one link
// (a module's USB link) among processes over TCP: it forwards the clients'
// requests to the module one at a time, routes each reply to the client that
// asked, fans stream samples out to streaming clients and answers discovery.
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aStream.h"

typedef struct aServer aServer;

aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly);
aErr aServer_Start(aServer* server);
aErr aServer_Destroy(aServer** server);
aErr aServer_GetPort(aServer* server, uint16_t* port);
aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
aErr aServer_FlushFIFO(aServer* server);

// A byte stream connected to a sharing server at address:port.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);
