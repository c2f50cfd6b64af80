// The synchronous-command actor: the only writer of requests to the shared
// link, one at a time, each followed by the wait for its reply.
//
// Replies are matched, not merely taken in order: a packet counts as the
// reply when it answers the request's kind (a zero-length address reply for
// a module-address query, else the request's command byte). Anything else
// that turns up while waiting (a late reply to a request already given up,
// an unsolicited packet) is dropped instead of going to the wrong client.
#include "link/api/aServerInternal.h"
#include "link/core/aTime.h"
#include "link/core/aUEI.h"

namespace {

bool sAnswers(const aPacket* request, const aPacket* reply) {
  if (request->address == aPACKET_ADDR_SYNC) return reply->length == 0;
  if (request->length == 0) return true;
  return reply->length > 0 && reply->data[0] == request->data[0];
}

// The next packet from the link that answers the request, or null when
// none came within the reply wait from `start` (ms ticks).
aPacket* sAwaitAnswer(aServer* server, const aPacket* request, uint32_t start) {
  for (;;) {
    uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= aSERVER_REPLY_WAIT_MS) return nullptr;
    aPacket* packet = aLink_AwaitPacket(server->linkId, aSERVER_REPLY_WAIT_MS - elapsed);
    if (packet == nullptr) return nullptr;
    if (sAnswers(request, packet)) return packet;
    aTRACE(aTRACE_SERVER, "unrequested packet from %d dropped\n", packet->address);
    aPacket_Destroy(&packet);
  }
}

void sDropped(aServer* server) { aServerFrame_SendCommand(server->syncWorker, aSERVER_CMD_DROPPED_PACKET, 0); }

void sHandleRequest(aServer* server, const std::string& frame) {
  aPacket* request = aServerFrame_ToPacket(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  if (request == nullptr) {
    aTRACE(aTRACE_SERVER, "bad-packet\n");
    return;
  }
  bool reply = aServer_ExpectsReply(request);
  aErr put = aLink_PutPacket(server->linkId, request);
  if (put != aErrNone) {
    // Only a request with a routing entry may take one away.
    if (reply) sDropped(server);
    aTRACE(aTRACE_SERVER, "packet %d/%d: Failed to PUT packet: err: %d\n", request->address, request->length, put);
    aPacket_Destroy(&request);
    return;
  }
  if (!reply) {
    aTRACE(aTRACE_SERVER, "don't wait on this packet\n");
    aPacket_Destroy(&request);
    return;
  }
  // A multi-packet reply: full byte-array packets with the continue bit,
  // then a last one; each awaited in its own window.
  std::vector<aPacket*> collected;
  for (aPacket* next = sAwaitAnswer(server, request, aTime_GetMSTicks()); next != nullptr;) {
    collected.push_back(next);
    next = aServer_IsContinuedChunk(next) ? sAwaitAnswer(server, request, aTime_GetMSTicks()) : nullptr;
  }
  aPacket_Destroy(&request);
  if (collected.empty()) {
    sDropped(server);
    aTRACE(aTRACE_SERVER, "Failed to AWAIT packet\n");
    return;
  }
  aServerFrame_SendCommand(server->syncWorker, aSERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(collected.size()));
  uint8_t wire[aPACKET_MAX_WIRE];
  for (aPacket*& packet : collected) {
    size_t size = aServerFrame_FromPacket(packet, wire);
    aServerFrame_Send(server->syncWorker, wire, size, false);
    aPacket_Destroy(&packet);
  }
}

}  // namespace

void aServer_WorkerActor(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, server->syncWorker, nullptr);
  zsock_signal(pipe, 0);
  std::vector<std::string> parts;
  while (poller != nullptr) {
    void* which = zpoller_wait(poller, aSERVER_POLL_MS);
    if (which == pipe) break;  // $TERM or any other word: stop
    if (which == server->syncWorker) {
      // One request per wake-up, so a stop is seen between requests.
      if (aServerFrame_Receive(server->syncWorker, parts) && parts.size() == 1) sHandleRequest(server, parts[0]);
    } else if (zpoller_terminated(poller)) {
      break;
    }
  }
  zpoller_destroy(&poller);
  server->workerExited = true;
}
