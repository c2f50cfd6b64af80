// Shared by the sharing tests: a module stand-in behind a TCP engine link
// with a sharing server on it, raw zmq clients for wire-level checks and
// packet builders.
#pragma once

#include <arpa/inet.h>
#include <czmq.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/api/aServer.h"
#include "link/api/aServerInternal.h"
#include "link/core/aLink.h"
#include "link/core/aTime.h"
#include "tests/unit/link_engine/standin.h"
#include "tests/support/Netns.h"

namespace sharetest {

constexpr uint8_t kAddress = 2;
constexpr uint8_t kModel = 0x11;

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0xF];
  }
  return text;
}

inline Bytes Echo(uint8_t tag) { return {kAddress, 3, 23, tag, static_cast<uint8_t>(~tag)}; }
inline Bytes ModelGet() { return {kAddress, 3, 3, 0x48, 0x20}; }
inline Bytes ModelReply() { return {kAddress, 4, 3, 8, 0, kModel}; }

// One packet of a byte-array transfer: command, option, specifier, payload,
// then the sequence byte (bit 7: more follow). 24 payload bytes make it full.
// Both builders size the packet once and write its head: GCC's -O3 bounds
// check misreads an insert that grows a five-byte vector.
inline Bytes Chunk(uint8_t command, uint8_t sequence, bool more, uint8_t fill, size_t payload = 24) {
  Bytes packet(5 + payload, fill);
  const uint8_t head[] = {kAddress, static_cast<uint8_t>(payload + 4), command, 0x85, 0x20};
  std::copy(head, head + 5, packet.begin());
  packet.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
  return packet;
}

// A stream sample: a UEI payload with neither get nor set and the stream bit.
inline Bytes StreamSample(size_t dataSize, uint8_t fill) {
  Bytes packet(2 + dataSize, fill);
  const uint8_t head[] = {kAddress, static_cast<uint8_t>(dataSize), 0x30, 0x01, 0x40};
  std::copy(head, head + 5, packet.begin());
  return packet;
}

// A client of the server speaking zmq directly.
class RawClient {
 public:
  RawClient(uint32_t address, uint16_t port) {
    socket_ = zsock_new(ZMQ_DEALER);
    zsock_set_linger(socket_, 0);
    in_addr a{};
    a.s_addr = address;
    zsock_connect(socket_, "tcp://%s:%u", inet_ntoa(a), static_cast<unsigned>(port));
  }
  ~RawClient() { zsock_destroy(&socket_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void send(const Bytes& frame) { zmq_send(zsock_resolve(socket_), frame.data(), frame.size(), 0); }

  // The next frame within `ms`, or nothing.
  std::optional<Bytes> receive(int ms = 3000) {
    zmq_pollitem_t item = {zsock_resolve(socket_), 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, ms) != 1) return std::nullopt;
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, zsock_resolve(socket_), 0) < 0) return std::nullopt;
    const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&message));
    Bytes frame(data, data + zmq_msg_size(&message));
    zmq_msg_close(&message);
    return frame;
  }

  // Sends a request and waits for one reply frame.
  std::optional<Bytes> ask(const Bytes& request, int ms = 3000) {
    send(request);
    return receive(ms);
  }

 private:
  zsock_t* socket_ = nullptr;
};

// The stand-in, a TCP engine link to it and a started sharing server, set
// up as the shared-link constructor does it: the owner's own client link
// asks the module address and model and hands them to the server.
class SharedModule {
 public:
  explicit SharedModule(bool localOnly = true, uint32_t interfaceAddress = 0, bool configure = true,
                        uint16_t port = 0) {
    if (!tvInsideNetns()) return;  // a server answers discovery: never outside
    // The tests play the device's side of these commands themselves: the
    // stand-in must not answer them on its own (it would refuse 0x30 and
    // 0x31 as unknown entities and acknowledge stream enables).
    for (const char* command : {"48", "49", "93"}) module(std::string("fault silent ") + command + " always");
    link = aLink_CreateTCPIP(StandIn::loopback(), module.tcpPort());
    if (link == 0) return;
    server = aServer_Create(link, interfaceAddress, localOnly);
    if (server == nullptr) return;
    if (port != 0) _aServer_RequestPort(server, port);
    if (aServer_Start(server) != aErrNone) return;
    aServer_GetPort(server, &this->port);
    aServer_GetInterface(server, &address);
    if (!configure) {
      ready = true;
      return;
    }
    owner = aLink_CreateClient(address, this->port, 0);
    aErr detail = aErrNotReady;
    for (int attempt = 0; owner != 0 && attempt < 5 && detail != aErrNone; ++attempt)
      detail = _aLink_ConfigureServerDetails(owner, server);
    ready = detail == aErrNone;
  }
  ~SharedModule() { stop(); }
  SharedModule(const SharedModule&) = delete;
  SharedModule& operator=(const SharedModule&) = delete;

  // Takes the server away (the engine link stays).
  void stopServer() {
    if (owner != 0) aLink_Destroy(&owner);
    if (server != nullptr) aServer_Destroy(&server);
  }
  void stop() {
    stopServer();
    if (link != 0) aLink_Destroy(&link);
  }

  // Packets the stand-in received, as hex wire bytes, since the last clear.
  std::vector<std::string> received() { return module("packets"); }
  // Waits until the stand-in has received `hex` (`times` times).
  bool waitForPacket(const std::string& hex, int ms = 3000, long times = 1) {
    auto seen = [&](const std::vector<std::string>& w) { return std::count(w.begin(), w.end(), hex) >= times; };
    return seen(module.waitFor("packets", seen, ms));
  }
  void moduleSends(const Bytes& wire) { module("send " + Hex(wire)); }

  StandIn module;
  aLinkRef link = 0;
  aServer* server = nullptr;
  aLinkRef owner = 0;
  uint16_t port = 0;
  uint32_t address = 0;
  bool ready = false;
};

// Waits on an engine link for a packet equal to `reply`; true when it came.
inline bool LinkAwait(aLinkRef id, const Bytes& reply, uint32_t ms = 3000) {
  struct Want {
    const Bytes* reply;
  } want{&reply};
  auto matches = [](const aPacket* p, void* ref) {
    const Bytes& r = *static_cast<Want*>(ref)->reply;
    return p->address == r[0] && p->length == r[1] && memcmp(p->data, r.data() + 2, p->length) == 0;
  };
  aPacket* got = aLink_AwaitFirst(id, matches, &want, ms);
  bool ok = got != nullptr;
  if (got != nullptr) aPacket_Destroy(&got);
  return ok;
}

// A round trip through an engine link: true when the reply matches.
inline bool LinkAsk(aLinkRef id, const Bytes& request, const Bytes& reply, uint32_t ms = 3000) {
  aPacket* packet = aPacket_CreateWithData(request[0], request[1], request.data() + 2);
  aErr put = aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  return put == aErrNone && LinkAwait(id, reply, ms);
}

inline Bytes EchoReply(uint8_t tag) { return Echo(tag); }

}  // namespace sharetest
