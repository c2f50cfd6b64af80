// A second process for the sharing tests.
//   sharing_peer discover COUNT BASE   finds the server on loopback, then makes
//                                      COUNT echo (tags from BASE) and COUNT
//                                      model round trips; exit 0 when all came back
//   sharing_peer fallback SERIAL COUNT asks for the module over USB with
//                                      sharing on; another process serves it,
//                                      so the link falls back to a client link;
//                                      exit 0 when it did and COUNT model round
//                                      trips came back
//   sharing_peer interrupt own         a SIGINT handler of its own, set before
//                                      czmq's; exit 0 when it ran
//   sharing_peer interrupt default     no handler: should die of the SIGINT
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "link/api/Link.h"
#include "link/api/aDiscovery.h"
#include "link/api/aServer.h"
#include "link/core/aLink.h"
#include "link/core/aTime.h"

namespace {

// The handler runs on whichever thread takes the signal.
std::atomic<int> gInterrupted{0};

void sOnInterrupt(int) { gInterrupted = 1; }

struct Expected {
  uint8_t length;
  uint8_t data[4];
};

bool sMatches(const aPacket* packet, void* reference) {
  const Expected* want = static_cast<const Expected*>(reference);
  return packet->length == want->length && memcmp(packet->data, want->data, want->length) == 0;
}

bool sAsk(aLinkRef id, const uint8_t* request, uint8_t length, const Expected& reply) {
  aPacket* packet = aPacket_CreateWithData(2, length, request);
  aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  Expected want = reply;
  aPacket* got = aLink_AwaitFirst(id, sMatches, &want, 3000);
  if (got == nullptr) return false;
  aPacket_Destroy(&got);
  return true;
}

int sDiscover(int count, int base) {
  // Two peers probing at once can take each other's reply port: try again.
  linkSpec* spec = nullptr;
  for (int attempt = 0; attempt < 10 && spec == nullptr; ++attempt) {
    spec = aDiscovery_FindFirstModule(linkTypeClient, 0);
    if (spec == nullptr) aTime_MSSleep(100 + 50 * static_cast<uint32_t>(getpid() % 7));
  }
  if (spec == nullptr) {
    fprintf(stderr, "peer: no server found\n");
    return 3;
  }
  aLinkRef id = aLink_CreateClient(spec->ipAddress, static_cast<uint16_t>(spec->port), 0);
  aLinkSpec_Destroy(&spec);
  if (id == 0) return 4;
  int good = 0;
  for (int i = 0; i < count; ++i) {
    uint8_t tag = static_cast<uint8_t>(base + i);
    uint8_t echo[3] = {23, tag, static_cast<uint8_t>(~tag)};
    good += sAsk(id, echo, 3, Expected{3, {23, tag, static_cast<uint8_t>(~tag), 0}});
    uint8_t model[3] = {3, 0x48, 0x20};
    good += sAsk(id, model, 3, Expected{4, {3, 8, 0, 0x11}});
  }
  aLink_Destroy(&id);
  printf("peer good=%d of %d\n", good, 2 * count);
  return good == 2 * count ? 0 : 1;
}

int sFallback(uint32_t serial, int count) {
  Veltrane::Tolvarine::Link link("peer");
  aErr connected = link.discoverAndConnect(linkTypeUSB, serial, 0);
  if (connected != aErrNone) {
    fprintf(stderr, "peer: no link to %08X: error %d\n", serial, static_cast<int>(connected));
    return 3;
  }
  linkSpec spec{};
  link.getLinkSpecifier(&spec);
  if (spec.type != linkTypeClient) {
    fprintf(stderr, "peer: link of type %u, not a client link\n", static_cast<unsigned>(spec.type));
    return 4;
  }
  int good = 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t request[2] = {0x48, 0x20};
    if (link.sendPacket(2, 3, 2, request) != aErrNone) continue;
    const uint8_t modelReply[2] = {3, 8};
    uint8_t reply[28] = {};
    uint8_t length = 2;
    good += link.receivePacket(2, modelReply, &length, reply) == aErrNone && length == 4 && reply[3] == 0x11;
  }
  link.disconnect();
  printf("peer fallback good=%d of %d\n", good, count);
  return good == count ? 0 : 1;
}

int sInterrupt(bool own) {
  if (own) {
    struct sigaction action{};
    action.sa_handler = sOnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
  }
  aStream* stream = nullptr;
  // Nothing listens there; the client actor runs all the same.
  if (aStream_CreateClient(htonl(INADDR_LOOPBACK), 9, &stream) != aErrNone) return 5;
  kill(getpid(), SIGINT);  // caught by czmq's handler, which only records it
  for (int waited = 0; waited < 3000 && !gInterrupted.load(); waited += 10) aTime_MSSleep(10);
  aStream_Destroy(&stream);
  return gInterrupted.load() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "discover") == 0) return sDiscover(atoi(argv[2]), atoi(argv[3]));
  if (argc == 4 && strcmp(argv[1], "fallback") == 0)
    return sFallback(static_cast<uint32_t>(strtoul(argv[2], nullptr, 16)), atoi(argv[3]));
  if (argc == 3 && strcmp(argv[1], "interrupt") == 0) return sInterrupt(strcmp(argv[2], "own") == 0);
  fprintf(stderr, "usage: sharing_peer discover COUNT BASE | fallback SERIAL COUNT | interrupt own|default\n");
  return 64;
}
