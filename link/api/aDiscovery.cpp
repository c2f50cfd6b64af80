// Discovery entry points: the per-transport dispatch and the searches for one
// module built on top of it.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include "link/api/aDiscoveryInternal.h"
#include "link/core/aDebug.h"

namespace {

struct sFindState {
  linkSpec* result;
  uint32_t serialNumber;  // wanted serial; ignored when firstNonZero
  bool firstNonZero;
};

uint8_t sTakeMatching(const linkSpec* spec, bool* success, void* reference) {
  sFindState* state = static_cast<sFindState*>(reference);
  if (spec == nullptr || state == nullptr) return 1;
  bool match = state->firstNonZero ? spec->serialNumber != 0 : spec->serialNumber == state->serialNumber;
  if (!match) return 1;
  memcpy(state->result, spec, sizeof(linkSpec));
  if (success != nullptr) *success = true;
  return 0;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool firstNonZero, uint32_t interfaceAddress) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (spec == nullptr) return nullptr;
  spec->serialNumber = serialNumber;
  spec->moduleAddress = 0;
  spec->routerAddress = 0;
  sFindState state{spec, serialNumber, firstNonZero};
  // Looking for one USB module opens no other: they may be in the middle of
  // other programs' updates.
  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", serialNumber);
  uint32_t found = type == linkTypeUSB && !firstNonZero
                       ? aDiscovery_EnumerateUSB(sTakeMatching, &state, serialText)
                       : aDiscovery_EnumerateModules(type, sTakeMatching, &state, interfaceAddress);
  if (found == 0) {
    aLinkSpec_Destroy(&spec);
    return nullptr;
  }
  return spec;
}

}  // namespace

uint32_t aDiscovery_LoopbackAddress(void) { return htonl(INADDR_LOOPBACK); }

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                     uint32_t interfaceAddress) {
  if (callback == nullptr) return 0;
  switch (type) {
    case linkTypeUSB:
      return aDiscovery_EnumerateUSB(callback, reference, nullptr);
    case linkTypeTCPIP:
      return aDiscovery_EnumerateTCPIP(callback, reference);
    case linkTypeClient:
      return aDiscovery_Enumerate_aEtherModules(callback, reference, interfaceAddress);
    default:
      return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress) {
  return sFind(type, serialNumber, false, interfaceAddress);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress) {
  return sFind(type, 0, true, interfaceAddress);
}
