// The sharing server's life cycle and accessors: one link served to clients
// over TCP, announced to discovery.
#include <arpa/inet.h>
#include <new>

#include "link/api/aDiscoveryInternal.h"
#include "link/api/aServerInternal.h"
#include "link/core/aLinkInternal.h"
#include "link/core/aThreadSanitizer.h"
#include "link/core/aTime.h"

namespace {

bool sValid(const aServer* server) { return server != nullptr && server->check == aSERVER_CHECK; }

bool sAll(const aPacket*, void*) { return true; }

zsock_t* sPipeSocket() {
  zsock_t* socket = zsock_new(ZMQ_DEALER);
  if (socket != nullptr) {
    // Requests wait here while the module answers earlier ones: never drop.
    zsock_set_sndhwm(socket, 0);
    zsock_set_rcvhwm(socket, 0);
    zsock_set_linger(socket, 0);
  }
  return socket;
}

// Binds one end of an internal pipe and connects the other. The pipes stay
// inside the process, so they go in-process: over loopback TCP each hop
// would add a wake-up of zmq's I/O thread on both ends, about half again
// the time of a round trip to the module.
int sPipe(zsock_t* bound, zsock_t* connected, bool* connectedOk) {
  static std::atomic<int> counter{0};
  int number = ++counter;
  bool ok = zsock_bind(bound, "inproc://tv-server-pipe-%d", number) == 0;
  *connectedOk = ok && zsock_connect(connected, "inproc://tv-server-pipe-%d", number) == 0;
  return ok ? number : 0;
}

uint16_t sBindFrontend(aServer* server) {
  char address[16] = "127.0.0.1";
  if (!server->localOnly) aDiscovery_ConvertIPv4Interface(server->interfaceAddress, address, sizeof address);
  char port[8] = "*";
  if (server->requestedPort != 0) snprintf(port, sizeof port, "%u", static_cast<unsigned>(server->requestedPort));
  int bound = zsock_bind(server->frontend, "tcp://%s:%s", address, port);
  if (bound <= 0) {
    aTRACE(aTRACE_SERVER, "Could not find open port\n");
    return 0;
  }
  aTRACE(aTRACE_SERVER, "_findPortAndBindSocket: %d - %s\n", bound, address);
  return static_cast<uint16_t>(bound);
}

void sAwaitExit(const std::atomic<bool>& exited) {
  while (!exited) aTime_MSSleep(1);
}

}  // namespace

aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly) {
  aLinkEntry* entry = sLookupEntryByID(linkId);
  if (entry == nullptr) {
    aTRACE(aTRACE_SERVER, "Could not find device Item\n");
    return nullptr;
  }
  aThreadSanitizer_Hook();
  aServer* server = new (std::nothrow) aServer();
  if (server == nullptr) return nullptr;
  server->check = aSERVER_CHECK;
  server->linkId = linkId;
  server->serialNumber = entry->identifier;
  server->localOnly = localOnly;
  server->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : aDiscovery_LoopbackAddress();
  server->discoveryOffset = -1;
  aTRACE(aTRACE_SERVER_INIT, "_initServer: link %u serial 0x%08X\n", linkId, server->serialNumber);
  return server;
}

aErr _aServer_RequestPort(aServer* server, uint16_t port) {
  if (!sValid(server)) return aErrParam;
  server->requestedPort = port;
  return aErrNone;
}

aErr aServer_Start(aServer* server) {
  if (!sValid(server)) return aErrParam;
  if (server->frontend != nullptr) return aErrBusy;
  server->frontend = zsock_new(ZMQ_ROUTER);
  server->syncBroker = sPipeSocket();
  server->syncWorker = sPipeSocket();
  server->streamBroker = sPipeSocket();
  server->streamFilter = sPipeSocket();
  if (server->frontend == nullptr || server->syncBroker == nullptr || server->syncWorker == nullptr ||
      server->streamBroker == nullptr || server->streamFilter == nullptr)
    return aErrResource;
  zsock_set_linger(server->frontend, 0);
  if (server->localOnly) server->interfaceAddress = aDiscovery_LoopbackAddress();
  if (aServer_StartDiscovery(server) != aErrNone) return aErrResource;
  server->port = sBindFrontend(server);
  server->streamPort = sPipe(server->streamBroker, server->streamFilter, &server->streamConnected);
  server->syncPort = sPipe(server->syncBroker, server->syncWorker, &server->syncConnected);
  if (server->port == 0 || server->streamPort == 0 || server->syncPort == 0 || !server->streamConnected ||
      !server->syncConnected)
    return aErrResource;
  server->pools = new (std::nothrow) std::list<aServerPool>();
  if (server->pools == nullptr) return aErrResource;
  server->broker = zactor_new(aServer_BrokerActor, server);
  server->worker = zactor_new(aServer_WorkerActor, server);
  if (server->broker == nullptr || server->worker == nullptr) return aErrResource;
  if (aLink_InstallUserPacketFilter(server->linkId, aServer_StreamFilter, server) != aErrNone) return aErrResource;
  server->filterInstalled = true;
  aLink_DrainPackets(server->linkId, sAll, nullptr);
  return aErrNone;
}

aErr aServer_Destroy(aServer** pointer) {
  if (pointer == nullptr || !sValid(*pointer)) return aErrParam;
  aServer* server = *pointer;
  // When the link itself is going, its filter is already gone.
  if (server->filterInstalled) aLink_InstallUserPacketFilter(server->linkId, nullptr, nullptr);
  if (server->worker != nullptr) {
    zactor_destroy(&server->worker);
    sAwaitExit(server->workerExited);
  }
  if (server->broker != nullptr) {
    zactor_destroy(&server->broker);
    sAwaitExit(server->brokerExited);
  }
  aServer_StopDiscovery(server);
  zsock_destroy(&server->frontend);
  zsock_destroy(&server->syncBroker);
  zsock_destroy(&server->syncWorker);
  zsock_destroy(&server->streamBroker);
  zsock_destroy(&server->streamFilter);
  aServer_DestroyPools(server);
  server->check = 0;
  delete server;
  *pointer = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  if (!sValid(server) || port == nullptr) return aErrParam;
  *port = server->port;
  return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress) {
  if (!sValid(server) || interfaceAddress == nullptr) return aErrParam;
  *interfaceAddress = server->interfaceAddress;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (!sValid(server)) return aErrParam;
  server->moduleAddress = address;
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (!sValid(server)) return aErrParam;
  server->model = model;
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (!sValid(server)) return aErrParam;
  if (server->broker != nullptr) zsock_signal(server->broker, aSERVER_FLUSH_SIGNAL);
  return aErrNone;
}
