// Placeholders for the link-sharing server and its client stream: no server
// can be made and no client stream connects, so the engine's shared-link
// paths fail cleanly until the real server replaces this file.
#include "link/api/aServer.h"

aServer* aServer_Create(uint32_t, uint32_t, bool) { return nullptr; }
aErr aServer_Start(aServer* server) { return server == nullptr ? aErrParam : aErrUnimplemented; }

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return aErrParam;
  *server = nullptr;
  return aErrUnimplemented;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  return server == nullptr || port == nullptr ? aErrParam : aErrUnimplemented;
}

aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress) {
  return server == nullptr || interfaceAddress == nullptr ? aErrParam : aErrUnimplemented;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t) { return server == nullptr ? aErrParam : aErrUnimplemented; }
aErr aServer_SetModel(aServer* server, uint8_t) { return server == nullptr ? aErrParam : aErrUnimplemented; }
aErr aServer_FlushFIFO(aServer* server) { return server == nullptr ? aErrParam : aErrUnimplemented; }

aErr aStream_CreateClient(uint32_t, uint16_t, aStream** stream) {
  return stream == nullptr ? aErrParam : aErrUnimplemented;
}
