// How searching clients find the server: on a real interface a czmq beacon
// answers the clients' discovery beacons with the server's record; on
// loopback only (or with no interface) a worker holds one of the multicast
// discovery ports and answers the probe's magic. Until the model is known
// nothing is answered.
#include <arpa/inet.h>
#include <string.h>

#include "link/api/aBeaconInterface.h"
#include "link/api/aDiscoveryInternal.h"
#include "link/api/aMulticast.h"
#include "link/api/aServerInternal.h"
#include "link/core/aTime.h"

namespace {

// Holds the first free discovery port pair: receives on 9850 + j, replies
// on 9950 + j. Another server already holding a request port makes that
// bind fail, which is how servers share the range.
bool sClaimPorts(aMulticast** receiver, aMulticast** sender, int* offset) {
  uint32_t loopback = aDiscovery_LoopbackAddress();
  in_addr group{};
  inet_pton(AF_INET, aDISCOVERY_ETHER_GROUP, &group);
  for (int attempt = 0; attempt < aDISCOVERY_ETHER_PORTS; ++attempt) {
    for (int j = 0; j < aDISCOVERY_ETHER_PORTS && *receiver == nullptr; ++j) {
      *receiver = aMulticast_Create(loopback, group.s_addr, static_cast<uint16_t>(aDISCOVERY_ETHER_REQUEST_PORT + j), false);
      *offset = j;
    }
    if (*receiver == nullptr) return false;
    *sender = aMulticast_Create(loopback, group.s_addr, static_cast<uint16_t>(aDISCOVERY_ETHER_REPLY_PORT + *offset), true);
    if (*sender != nullptr) return true;
    aMulticast_Destroy(receiver);
  }
  return false;
}

void sAnswerProbe(aServer* server, aMulticast* receiver, aMulticast* sender) {
  uint8_t request[4] = {};
  int received = aMulticast_Receive(receiver, request, sizeof request);
  uint32_t magic = aDISCOVERY_ETHER_MAGIC;
  if (received != static_cast<int>(sizeof magic) || memcmp(request, &magic, sizeof magic) != 0) {
    aTRACE(aTRACE_SERVER, "We something else on multicast\n");
    return;
  }
  aTRACE(aTRACE_SERVER, "We got the multicast magic value\n");
  if (server->model == 0) {
    aTRACE(aTRACE_SERVER, "Discovery not allowed (Multicast), model not set.\n");
    return;
  }
  linkSpec record = aServer_DiscoveryRecord(server, server->beaconHost);
  int sent = aMulticast_Send(sender, &record, sizeof record);
  aTRACE(aTRACE_SERVER, "Sent: %d to the reply port\n", sent);
}

aErr sStartBeacon(aServer* server, uint32_t interfaceAddress) {
  char text[16];
  if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0) return aErrResource;
  if (zBeaconInterface_backupSetAndLock(text) == 0) return aErrResource;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  char* hostname = nullptr;
  if (beacon != nullptr) {
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    hostname = zstr_recv(beacon);
  }
  zBeaconInterface_restoreAndUnlock();
  aTRACE(aTRACE_SERVER, "Beacon hostname(Server): %s - Port: %d\n", hostname != nullptr ? hostname : "",
         aDISCOVERY_BEACON_PORT);
  in_addr host{};
  bool usable = hostname != nullptr && inet_pton(AF_INET, hostname, &host) == 1;
  zstr_free(&hostname);
  if (!usable) {
    zactor_destroy(&beacon);
    return aErrResource;
  }
  zsock_send(beacon, "sb", "SUBSCRIBE", aDISCOVERY_BEACON_PAYLOAD, static_cast<size_t>(aDISCOVERY_BEACON_PAYLOAD_SIZE));
  zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_WAIT_MS);
  server->interfaceAddress = interfaceAddress;
  server->beaconHost = host.s_addr;
  server->discovery = beacon;
  server->discoveryIsBeacon = true;
  return aErrNone;
}

}  // namespace

linkSpec aServer_DiscoveryRecord(const aServer* server, uint32_t ipAddress) {
  linkSpec record;
  memset(&record, 0, sizeof record);
  record.type = linkTypeClient;
  record.serialNumber = server->serialNumber;
  record.model = server->model;
  record.ipAddress = ipAddress;
  record.port = server->port;
  return record;
}

void aServer_MulticastActor(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  int offset = -1;
  bool claimed = sClaimPorts(&receiver, &sender, &offset);
  if (claimed) aTRACE(aTRACE_SERVER, "Discovery port offset: %d\n", offset);
  server->discoveryOffset = claimed ? offset : -1;
  zsock_signal(pipe, 0);
  // Waits on the probe's socket and the actor pipe together, so a probe is
  // answered at once and a stop is seen at once.
  zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                             {nullptr, aMulticast_Descriptor(receiver), ZMQ_POLLIN, 0}};
  while (claimed) {
    if (zmq_poll(items, 2, aSERVER_POLL_MS) < 0 && zmq_errno() != EINTR) break;
    if (items[0].revents & ZMQ_POLLIN) break;  // $TERM
    if (items[1].revents & ZMQ_POLLIN) sAnswerProbe(server, receiver, sender);
  }
  if (receiver != nullptr) aMulticast_Destroy(&receiver);
  if (sender != nullptr) aMulticast_Destroy(&sender);
  server->discoveryExited = true;
}

aErr aServer_StartDiscovery(aServer* server) {
  uint32_t interfaces[aSERVER_INTERFACE_LIMIT];
  uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, aSERVER_INTERFACE_LIMIT);
  aTRACE(aTRACE_SERVER_INTERFACES, "_configureInterface found count: %d\n", static_cast<int>(count));
  uint32_t loopback = aDiscovery_LoopbackAddress();
  if (!server->localOnly && count > 0) {
    uint32_t chosen = server->interfaceAddress;
    if (chosen == 0 || chosen == loopback) chosen = interfaces[0];
    return sStartBeacon(server, chosen);
  }
  server->beaconHost = loopback;
  server->discoveryIsBeacon = false;
  server->discovery = zactor_new(aServer_MulticastActor, server);
  if (server->discovery == nullptr || server->discoveryOffset < 0) return aErrResource;
  return aErrNone;
}

void aServer_StopDiscovery(aServer* server) {
  if (server->discovery == nullptr) return;
  bool worker = !server->discoveryIsBeacon;
  zactor_destroy(&server->discovery);
  // The actor's last touch of the record comes before this flag.
  while (worker && !server->discoveryExited) aTime_MSSleep(1);
}

void aServer_OnBeacon(aServer* server) {
  zmsg_t* message = zmsg_recv(server->discovery);
  if (message == nullptr) return;
  char* sender = zmsg_popstr(message);
  zframe_t* frame = zmsg_pop(message);
  bool discovery = frame != nullptr && zframe_size(frame) >= aDISCOVERY_BEACON_PAYLOAD_SIZE &&
                   memcmp(zframe_data(frame), aDISCOVERY_BEACON_PAYLOAD, aDISCOVERY_BEACON_PAYLOAD_SIZE) == 0;
  if (discovery) {
    in_addr from{};
    bool ownHost = sender != nullptr && inet_pton(AF_INET, sender, &from) == 1 && from.s_addr == server->beaconHost;
    if (server->localOnly && !ownHost) {
      aTRACE(aTRACE_SERVER, "Heard outside beacon, ignoring because we are local\n");
      server->beaconPublishing = true;
      server->beaconStart = aTime_GetMSTicks();
    } else if (server->model == 0) {
      aTRACE(aTRACE_SERVER, "Discovery not allowed (beacon), model not set.\n");
    } else if (!server->beaconPublishing) {
      linkSpec record = aServer_DiscoveryRecord(server, server->localOnly ? aDiscovery_LoopbackAddress() : server->beaconHost);
      zsock_send(server->discovery, "sbi", "PUBLISH", &record, sizeof record, aDISCOVERY_BEACON_INTERVAL_MS);
      server->beaconPublishing = true;
      server->beaconStart = aTime_GetMSTicks();
    }
  }
  zframe_destroy(&frame);
  zstr_free(&sender);
  zmsg_destroy(&message);
}

void aServer_SilenceBeacon(aServer* server) {
  zstr_sendx(server->discovery, "SILENCE", nullptr);
  server->beaconPublishing = false;
  aTRACE(aTRACE_SERVER, "Beacon silenced\n");
}
