// A Link connected over TCP to the module stand-in (sim/module.py). The
// stand-in records what it receives and sends whatever bytes it is told to,
// which is how these tests play the device's side of the newer exchanges.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/api/Link.h"
#include "link/api/Module.h"
#include "tests/unit/link_engine/standin.h"

namespace apitest {

using Bytes = std::vector<uint8_t>;

inline std::string hex(const Bytes& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

// One packet as the wire carries it: address, length, data.
inline Bytes wire(uint8_t address, const Bytes& data) {
  // Sized once: GCC's -O3 bounds check misreads an insert that grows a
  // two-byte vector.
  Bytes out(2 + data.size());
  out[0] = address;
  out[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), out.begin() + 2);
  return out;
}

inline linkSpec tcpSpec(uint16_t port) {
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.ipAddress = StandIn::loopback();
  spec.port = port;
  return spec;
}

class StandInTest : public ::testing::Test {
 protected:
  static constexpr uint8_t kAddress = 2;

  // Packets the device sends on its own; they reach the host in this order.
  void inject(std::initializer_list<Bytes> packets, uint8_t from = kAddress) {
    std::string all;
    for (const Bytes& data : packets) all += hex(wire(from, data));
    module("send " + all);
  }
  void injectAll(const std::vector<Bytes>& packets, uint8_t from = kAddress) {
    std::string all;
    for (const Bytes& data : packets) all += hex(wire(from, data));
    module("send " + all);
  }

  // The stand-in stops answering these commands, so that the replies a test
  // plays are the only ones.
  void silence(std::initializer_list<int> commands) {
    for (int command : commands) module("fault silent " + std::to_string(command) + " always");
  }

  // Every packet the stand-in has received since the last clear, as hex.
  std::vector<std::string> received() { return module("packets"); }
  // Received packets other than the engine's own synchronisation and routing.
  std::vector<std::string> requests() {
    std::vector<std::string> all = received(), out;
    for (const std::string& p : all)
      if (p.rfind("ad", 0) != 0 && p.rfind("af", 0) != 0) out.push_back(p);
    return out;
  }
  // Waits until the stand-in has seen `count` requests.
  std::vector<std::string> awaitRequests(size_t count) {
    std::vector<std::string> out = requests();
    for (int i = 0; i < 300 && out.size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      out = requests();
    }
    return out;
  }

  StandIn module;
};

// A Link on the stand-in, connected before each test.
class LinkTest : public StandInTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(link.setLinkSpecifier(tcpSpec(module.tcpPort())), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    module("clear");
  }

  // Everything injected before this returns is in the link's queue: the echo
  // reply travels behind it on the same stream.
  void settle() {
    const uint8_t tag[2] = {0x5A, 0xA5};
    ASSERT_EQ(link.sendPacket(kAddress, 23, 2, tag), aErrNone);
    uint8_t match[3] = {23, 0x5A, 0xA5}, length = 3, data[aPACKET_MAX_DATA];
    ASSERT_EQ(link.receivePacket(kAddress, match, &length, data), aErrNone);
  }

  Veltrane::Tolvarine::Link link{"test"};
};

// A Module connected to the stand-in through a stored specifier.
class ModuleTest : public StandInTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
    module("clear");
  }

  Veltrane::Tolvarine::Module device{kAddress, false, 0};
};

}  // namespace apitest
