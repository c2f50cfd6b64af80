// The broker actor: takes clients' packets from the frontend, keeps the
// reply routing list, hands requests to the worker, routes replies back to
// the client that asked and fans stream batches out to streaming clients.
#include <algorithm>

#include "link/api/aServerInternal.h"
#include "link/core/aTime.h"
#include "link/core/aUEI.h"

#define aSERVER_STREAM_COMMAND 0x5D
#define aSERVER_STREAM_ENABLE 0x81
#define aSERVER_STREAM_ENABLE_SIZE 7

namespace {

void sStreamEnable(aServer* server, const std::string& identity, const aPacket* packet) {
  if (packet->length != aSERVER_STREAM_ENABLE_SIZE || packet->data[0] != aSERVER_STREAM_COMMAND) return;
  if (packet->data[1] != aSERVER_STREAM_ENABLE) {
    aTRACE(aTRACE_SERVER, "unknown stream enable: %d\n", packet->data[1]);
    return;
  }
  if (std::find(server->streaming.begin(), server->streaming.end(), identity) != server->streaming.end()) return;
  server->streaming.push_back(identity);
  aTRACE(aTRACE_SERVER, "Added stream entry\n");
}

void sSendToClient(aServer* server, const std::string& identity, const std::string& frame) {
  if (!aServerFrame_Send(server->frontend, identity.data(), identity.size(), true)) return;
  aServerFrame_Send(server->frontend, frame.data(), frame.size(), false);
}

void sOnCommand(aServer* server, const std::string& command, const std::string& identity) {
  uint8_t code = static_cast<uint8_t>(command[0]);
  if (code == aSERVER_CMD_DROPPED_PACKET) {
    aTRACE(aTRACE_SERVER, "dropping id: fifo size: %d\n", static_cast<int>(server->routing.size()));
  } else if (code == aSERVER_CMD_INCOMING_PACKETS) {
    uint16_t count = static_cast<uint16_t>(static_cast<uint8_t>(command[1]) << 8 | static_cast<uint8_t>(command[2]));
    for (uint16_t i = 0; i < count; ++i) server->routing.push_front(identity);
    server->expected = count;
  } else {
    aTRACE(aTRACE_SERVER, "Unknown Server cmd: %d\n", code);
  }
}

void sFlush(aServer* server) {
  aTRACE(aTRACE_SERVER, "Flushing FIFO\n");
  server->skipAnswers += server->inFlight;
  server->skipFrames += server->expected;
  server->inFlight = 0;
  server->routing.clear();
  server->expected = 0;
}

void sOnFrontend(aServer* server, std::vector<std::string>& parts) {
  if (!aServerFrame_Receive(server->frontend, parts)) return;
  if (parts.size() != 2) {
    aTRACE(aTRACE_SERVER, "Bad frontend message: %d parts\n", static_cast<int>(parts.size()));
    return;
  }
  aServer_OnClientPacket(server, parts[0], parts[1]);
}

void sOnStreamBatch(aServer* server, std::vector<std::string>& parts) {
  if (!aServerFrame_Receive(server->streamBroker, parts) || parts.size() != 1) return;
  for (const std::string& identity : server->streaming) sSendToClient(server, identity, parts[0]);
}

}  // namespace

bool aServer_Forward(aServer* server, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t size = aServerFrame_FromPacket(packet, wire);
  return aServerFrame_Send(server->syncBroker, wire, size, false);
}

bool aServer_ForwardRequest(aServer* server, const std::string& identity, const aPacket* packet) {
  if (!aServer_Forward(server, packet)) return false;
  server->routing.push_back(identity);
  ++server->inFlight;
  return true;
}

void aServer_OnClientPacket(aServer* server, const std::string& identity, const std::string& frame) {
  aPacket* packet = aServerFrame_ToPacket(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  if (packet == nullptr) return;
  sStreamEnable(server, identity, packet);
  if (!aServer_PoolPacket(server, identity, packet)) {
    if (packet->address == aPACKET_ADDR_ROUTE && packet->length == 1) {
      // Route control belongs to the link's owner, never to a client.
      aTRACE(aTRACE_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
    } else {
      if (aServer_ExpectsReply(packet)) {
        aServer_ForwardRequest(server, identity, packet);
      } else {
        aServer_Forward(server, packet);
      }
    }
  }
  aPacket_Destroy(&packet);
}

void aServer_OnWorkerMessage(aServer* server, const std::vector<std::string>& parts) {
  bool command = aServerFrame_IsCommand(parts);
  if (!command && parts.size() != 1) return;
  // The worker answers in request order: answers still due from before a
  // flush come first.
  if (command && server->skipAnswers > 0) {
    --server->skipAnswers;
    if (static_cast<uint8_t>(parts[1][0]) == aSERVER_CMD_INCOMING_PACKETS)
      server->skipFrames += static_cast<uint8_t>(parts[1][1]) << 8 | static_cast<uint8_t>(parts[1][2]);
    return;
  }
  if (command && server->inFlight > 0) --server->inFlight;
  if (!command && server->skipFrames > 0) {
    --server->skipFrames;
    return;
  }
  if (server->routing.empty()) {
    aTRACE(aTRACE_SERVER, "no id to pop\n");
    return;
  }
  std::string identity = std::move(server->routing.front());
  server->routing.pop_front();
  if (command) {
    sOnCommand(server, parts[1], identity);
    return;
  }
  sSendToClient(server, identity, parts[0]);
  if (server->expected == 0) {
    aTRACE(aTRACE_SERVER, "Error, sending more packets then expected\n");
  } else {
    --server->expected;
  }
}

void aServer_BrokerActor(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, server->syncBroker, server->frontend, server->streamBroker, nullptr);
  if (poller != nullptr && server->discoveryIsBeacon) zpoller_add(poller, server->discovery);
  zsock_signal(pipe, 0);
  std::vector<std::string> parts;
  while (poller != nullptr) {
    void* which = zpoller_wait(poller, aSERVER_POLL_MS);
    if (which == pipe) {
      zmsg_t* message = zmsg_recv(pipe);
      int status = message != nullptr ? zmsg_signal(message) : -1;
      zmsg_destroy(&message);
      if (status != aSERVER_FLUSH_SIGNAL) {
        aTRACE(aTRACE_SERVER, "pre exit 1\n");
        break;
      }
      sFlush(server);
    } else if (which == server->frontend) {
      sOnFrontend(server, parts);
    } else if (which == server->syncBroker) {
      if (aServerFrame_Receive(server->syncBroker, parts)) aServer_OnWorkerMessage(server, parts);
    } else if (which == server->streamBroker) {
      sOnStreamBatch(server, parts);
    } else if (which != nullptr && which == server->discovery) {
      aServer_OnBeacon(server);
    } else if (zpoller_terminated(poller)) {
      aTRACE(aTRACE_SERVER, "pre exit 2\n");
      break;
    }
    if (server->beaconPublishing && aTime_GetMSTicks() - server->beaconStart > aSERVER_BEACON_SILENCE_MS)
      aServer_SilenceBeacon(server);
  }
  zpoller_destroy(&poller);
  server->brokerExited = true;
}
