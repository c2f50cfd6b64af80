// aEther search: shared links offered by sharing servers, found on this host
// by the loopback multicast probe, or on a chosen interface by beacons.
#include <arpa/inet.h>
#include <string.h>

#include <vector>

#include "link/api/aBeaconInterface.h"
#include "link/api/aDiscoveryInternal.h"
#include "link/api/aMulticast.h"
#include "link/core/aDebug.h"

namespace {

bool sSeen(const std::vector<linkSpec*>& taken, uint32_t serialNumber) {
  for (const linkSpec* spec : taken) {
    if (spec->serialNumber == serialNumber) return true;
  }
  return false;
}

void sForget(std::vector<linkSpec*>& taken) {
  for (linkSpec*& spec : taken) aLinkSpec_Destroy(&spec);
  taken.clear();
}

}  // namespace

uint32_t aDiscovery_ProbeMulticast(aDiscoveryModuleFoundProc callback, void* reference, bool local) {
  uint32_t loopback = aDiscovery_LoopbackAddress();
  in_addr group{};
  inet_pton(AF_INET, aDISCOVERY_ETHER_GROUP, &group);
  std::vector<linkSpec*> taken;
  uint32_t count = 0;
  uint8_t goOn = 1;
  for (int i = 0; i < aDISCOVERY_ETHER_PORTS && goOn == 1; ++i) {
    uint16_t requestPort = static_cast<uint16_t>(aDISCOVERY_ETHER_REQUEST_PORT + i);
    uint16_t replyPort = static_cast<uint16_t>(aDISCOVERY_ETHER_REPLY_PORT + i);
    aMulticast* probe = aMulticast_Create(loopback, group.s_addr, requestPort, false);
    if (probe != nullptr) {
      // Nobody holds this discovery port.
      aMulticast_Destroy(&probe);
      continue;
    }
    aMulticast* replies = aMulticast_Create(loopback, group.s_addr, replyPort, false);
    aMulticast* request = aMulticast_Create(loopback, group.s_addr, requestPort, true);
    if (replies != nullptr && request != nullptr) {
      uint32_t magic = aDISCOVERY_ETHER_MAGIC;
      aMulticast_Send(request, &magic, sizeof magic);
      linkSpec spec;
      memset(&spec, 0, sizeof spec);
      int received = aMulticast_Receive(replies, &spec, sizeof spec);
      if (received == static_cast<int>(sizeof spec)) {
        if (sSeen(taken, spec.serialNumber)) {
          aTRACE(aTRACE_DISCOVERY, "aDiscovery aEther: duplicate SN: 0x%08X ignored\n", spec.serialNumber);
        } else if (local && spec.ipAddress != loopback) {
          aTRACE(aTRACE_DISCOVERY, "We are in local mode, ignoring(2)\n");
        } else {
          linkSpec* copy = aLinkSpec_Copy(&spec);
          if (copy != nullptr) taken.push_back(copy);
          bool success = false;
          goOn = callback(&spec, &success, reference);
          if (success) ++count;
        }
      } else if (received != -1) {
        aTRACE(aTRACE_DISCOVERY, "Unknown Error sending request message: %d\n", received);
      }
    }
    if (replies != nullptr) aMulticast_Destroy(&replies);
    if (request != nullptr) aMulticast_Destroy(&request);
  }
  sForget(taken);
  return count;
}

uint32_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t interfaceAddress) {
  if (callback == nullptr) return 0;
  bool local = interfaceAddress == 0 || interfaceAddress == aDiscovery_LoopbackAddress();
  uint32_t interfaces[aDISCOVERY_INTERFACE_LIMIT];
  uint32_t found = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_INTERFACE_LIMIT);
  aTRACE(aTRACE_DISCOVERY, "aDiscovery_Enumerate_aEtherModules found count: %d\n", static_cast<int>(found));
  if (local || found == 0) return aDiscovery_ProbeMulticast(callback, reference, true);

  char text[16];
  if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0) return 0;
  aTRACE(aTRACE_DISCOVERY, "New Interface: %s\n", text);
  if (zBeaconInterface_backupSetAndLock(text) == 0) return 0;
  uint32_t count = aDiscovery_SearchBeacons(callback, reference, false);
  zBeaconInterface_restoreAndUnlock();
  return count;
}
