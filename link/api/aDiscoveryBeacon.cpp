// Beacon search: a czmq beacon on the current beacon interface publishes the
// discovery payload and collects the servers' 128-byte records.
#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include <vector>

#include "link/api/aDiscoveryInternal.h"
#include "link/core/aDebug.h"

uint32_t aDiscovery_SearchBeacons(aDiscoveryModuleFoundProc callback, void* reference, bool local) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return 0;
  zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
  char* hostname = zstr_recv(beacon);
  aTRACE(aTRACE_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
         hostname != nullptr ? hostname : "", aDISCOVERY_BEACON_PORT);
  in_addr own{};
  bool usable = hostname != nullptr && inet_pton(AF_INET, hostname, &own) == 1;
  zstr_free(&hostname);
  uint32_t count = 0;
  if (usable) {
    uint32_t loopback = aDiscovery_LoopbackAddress();
    zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_PAYLOAD, static_cast<size_t>(aDISCOVERY_BEACON_PAYLOAD_SIZE),
               aDISCOVERY_BEACON_INTERVAL_MS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_WAIT_MS);
    std::vector<linkSpec*> taken;
    bool goOn = true;
    for (int i = 0; i < aDISCOVERY_BEACON_RECEIVES && goOn; ++i) {
      zmsg_t* message = zmsg_recv(beacon);
      if (message == nullptr) continue;
      char* sender = zmsg_popstr(message);
      zframe_t* frame = zmsg_pop(message);
      if (frame != nullptr && zframe_size(frame) == sizeof(linkSpec)) {
        linkSpec spec;
        memcpy(&spec, zframe_data(frame), sizeof spec);
        bool seen = false;
        for (const linkSpec* earlier : taken) seen = seen || earlier->serialNumber == spec.serialNumber;
        if (!seen) {
          aTRACE(aTRACE_DISCOVERY,
                 "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
                 spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.moduleAddress),
                 static_cast<int>(spec.type), static_cast<int>(spec.model));
          if (local && spec.ipAddress != loopback && spec.ipAddress != own.s_addr) {
            aTRACE(aTRACE_DISCOVERY, "We are in local mode, ignoring(1)\n");
          } else {
            linkSpec* copy = aLinkSpec_Copy(&spec);
            if (copy != nullptr) taken.push_back(copy);
            bool success = false;
            goOn = callback(&spec, &success, reference) != 0;
            if (success) ++count;
          }
        }
      }
      zframe_destroy(&frame);
      zstr_free(&sender);
      zmsg_destroy(&message);
      if (i == aDISCOVERY_BEACON_RECEIVES - 1) aTRACE(aTRACE_DISCOVERY, "Done with discovery\n");
    }
    for (linkSpec*& spec : taken) aLinkSpec_Destroy(&spec);
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zactor_destroy(&beacon);
  return count;
}
