// The sharing server's broker on its three outside inputs: clients' packet
// frames, the worker's answers (reply frames and server commands), and
// beacons heard on the discovery interface. The input is a list of events:
//   0 I L bytes...      a frame of L bytes from client I (of four)
//   1 P (L bytes...)xP  a worker message of P parts
//   2 L bytes...        a beacon of L bytes (sender: this host or another)
// In-process sockets stand for the frontend, the worker pipe and the beacon
// actor; nothing leaves the process. Properties: a frame the server accepts
// becomes a packet that makes the same frame again, and everything it sends
// to the worker is a well-formed packet frame.
#include <stdlib.h>
#include <string.h>

#include "FuzzSupport.h"
#include "link/api/aDiscoveryInternal.h"
#include "link/api/aServerInternal.h"

namespace {

struct Sockets {
  zsock_t* frontend;
  zsock_t* syncBroker;
  zsock_t* syncWorker;
  zsock_t* beaconActor;  // the server's end of its beacon actor's pipe
  zsock_t* beaconPeer;   // the beacon actor's end
};

Sockets& sockets() {
  static Sockets s = [] {
    Sockets made{};
    made.frontend = zsock_new_router("inproc://fuzz-frontend");
    made.syncBroker = zsock_new_dealer("@inproc://fuzz-sync");
    made.syncWorker = zsock_new_dealer(">inproc://fuzz-sync");
    made.beaconActor = zsock_new_pair("@inproc://fuzz-beacon");
    made.beaconPeer = zsock_new_pair(">inproc://fuzz-beacon");
    if (!made.frontend || !made.syncBroker || !made.syncWorker || !made.beaconActor || !made.beaconPeer) abort();
    return made;
  }();
  return s;
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string bytes(size_t count) {
    count = std::min(count, size - at);
    std::string out(reinterpret_cast<const char*>(data + at), count);
    at += count;
    return out;
  }
};

void checkFrame(const std::string& frame) {
  aPacket* packet = aServerFrame_ToPacket(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  if (packet == nullptr) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  const size_t size = aServerFrame_FromPacket(packet, wire);
  FUZZ_CHECK(size <= frame.size() && memcmp(wire, frame.data(), size) == 0);
  aServer_ExpectsReply(packet);
  aPacket_Destroy(&packet);
}

void drainWorkerPipe() {
  std::vector<std::string> parts;
  while (aServerFrame_Receive(sockets().syncWorker, parts)) {
    for (const std::string& part : parts) {
      aPacket* packet = aServerFrame_ToPacket(reinterpret_cast<const uint8_t*>(part.data()), part.size());
      FUZZ_CHECK(packet != nullptr);
      aPacket_Destroy(&packet);
    }
  }
}

void drainQuietly(zsock_t* socket) {
  std::vector<std::string> parts;
  while (aServerFrame_Receive(socket, parts)) {
  }
}

void hearBeacon(aServer* server, const std::string& payload, bool ownHost) {
  zmsg_t* message = zmsg_new();
  zmsg_addstr(message, ownHost ? "198.18.0.1" : "198.18.0.9");
  zmsg_addmem(message, payload.data(), payload.size());
  zmsg_send(&message, sockets().beaconPeer);
  aServer_OnBeacon(server);
  drainQuietly(sockets().beaconPeer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // As the updater does: czmq must leave libFuzzer's signal handlers alone.
  setenv("ZSYS_SIGHANDLER", "false", 1);
  fuzz::quietVerbose();
  sockets();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8 * 1024) return 0;
  aServer* server = new aServer();
  server->check = aSERVER_CHECK;
  server->model = 4;
  server->beaconHost = 0x0100C6C6;  // 198.18.0.1 in network order on this host
  server->frontend = sockets().frontend;
  server->syncBroker = sockets().syncBroker;
  server->syncWorker = sockets().syncWorker;
  // czmq's message calls take an actor or a socket alike.
  server->discovery = reinterpret_cast<zactor_t*>(sockets().beaconActor);
  server->pools = new std::list<aServerPool>();

  Reader in{data, size};
  for (int events = 0; in.more() && events < 256; ++events) {
    const uint8_t kind = in.byte();
    if (kind % 3 == 0) {
      const std::string identity(1, static_cast<char>('A' + in.byte() % 4));
      const std::string frame = in.bytes(in.byte());
      checkFrame(frame);
      aServer_OnClientPacket(server, identity, frame);
    } else if (kind % 3 == 1) {
      std::vector<std::string> parts(in.byte() % 4);
      for (std::string& part : parts) part = in.bytes(in.byte());
      aServer_OnWorkerMessage(server, parts);
    } else {
      server->localOnly = (kind & 0x10) != 0;
      hearBeacon(server, in.bytes(in.byte()), (kind & 0x20) != 0);
    }
    drainWorkerPipe();
  }
  aServer_DestroyPools(server);
  delete server;
  return 0;
}
