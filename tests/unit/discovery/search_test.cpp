// The TCP/IP search and the loopback multicast probe against answerers of
// sim/discovery.py, inside the private network namespace.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "discovery_helpers.h"
#include "link/api/aDiscovery.h"

namespace {

using disctest::AllZeroFrom;
using disctest::Child;
using disctest::Collector;
using disctest::Hex;
using disctest::Sim;

Child tcpipModule(uint32_t serial, int port, int address, int model) {
  return Child({"python3", Sim("discovery.py"), "tcpip", "--serial", Hex(serial), "--port", std::to_string(port),
                "--address", std::to_string(address), "--model", std::to_string(model), "--host", "198.18.0.1",
                "--iface", "198.18.0.1"},
               "TV-DISCOVERY");
}

const linkSpec* bySerial(const Collector& found, uint32_t serial) {
  for (const linkSpec& spec : found.specs) {
    if (spec.serialNumber == serial) return &spec;
  }
  return nullptr;
}

TEST(TcpipSearch, EveryModuleOnceWithItsRecord) {
  REQUIRE_NETNS();
  Child first = tcpipModule(0x40F5849A, 4001, 6, 0x11);
  Child second = tcpipModule(0x0012AB34, 4002, 8, 0x05);
  ASSERT_TRUE(first.ready() && second.ready());
  Collector found;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, Collector::Callback, &found, 0), 2u);
  ASSERT_EQ(found.specs.size(), 2u);
  const linkSpec* spec = bySerial(found, 0x40F5849A);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, static_cast<uint32_t>(linkTypeTCPIP));
  EXPECT_EQ(spec->moduleAddress, 6u);
  EXPECT_EQ(spec->routerAddress, 6u);
  EXPECT_EQ(spec->routerSerialNumber, 0x40F5849Au);
  EXPECT_EQ(spec->model, 0x11u);
  EXPECT_EQ(spec->ipAddress, inet_addr("198.18.0.1"));
  EXPECT_EQ(spec->port, 4001u);
  EXPECT_TRUE(AllZeroFrom(*spec, 32));
  ASSERT_NE(bySerial(found, 0x0012AB34), nullptr);
  EXPECT_EQ(bySerial(found, 0x0012AB34)->port, 4002u);
}

TEST(TcpipSearch, CallbackThatStopsEndsTheSearch) {
  REQUIRE_NETNS();
  Child first = tcpipModule(0x11111111, 4003, 2, 0x11);
  Child second = tcpipModule(0x22222222, 4004, 2, 0x11);
  ASSERT_TRUE(first.ready() && second.ready());
  Collector found;
  found.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, Collector::Callback, &found, 0), 1u);
  EXPECT_EQ(found.specs.size(), 1u);
}

TEST(TcpipSearch, FindModuleByItsSerialNumberOrNothing) {
  REQUIRE_NETNS();
  Child module = tcpipModule(0x33333333, 4005, 4, 0x12);
  ASSERT_TRUE(module.ready());
  linkSpec* spec = aDiscovery_FindModule(linkTypeTCPIP, 0x33333333, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->port, 4005u);
  EXPECT_EQ(spec->model, 0x12u);
  aLinkSpec_Destroy(&spec);
  EXPECT_EQ(aDiscovery_FindModule(linkTypeTCPIP, 0x44444444, 0), nullptr);
}

TEST(EtherProbe, NothingWithoutAServer) {
  REQUIRE_NETNS();
  Collector found;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeClient, Collector::Callback, &found, 0), 0u);
  EXPECT_TRUE(found.specs.empty());
}

TEST(EtherProbe, ServerHoldingADiscoveryPortAnswersOnce) {
  REQUIRE_NETNS();
  Child server({"python3", Sim("discovery.py"), "multicast", "--serial", Hex(0x55555555), "--port", "5123",
                "--model", "17", "--ip", "127.0.0.1"},
               "TV-DISCOVERY");
  ASSERT_TRUE(server.ready());
  Collector found;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeClient, Collector::Callback, &found, 0), 1u);
  ASSERT_EQ(found.specs.size(), 1u);
  EXPECT_EQ(found.specs[0].type, static_cast<uint32_t>(linkTypeClient));
  EXPECT_EQ(found.specs[0].serialNumber, 0x55555555u);
  EXPECT_EQ(found.specs[0].port, 5123u);
  EXPECT_EQ(found.specs[0].ipAddress, inet_addr("127.0.0.1"));
}

}  // namespace
