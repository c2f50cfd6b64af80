// Searching clients find the server: on loopback by the multicast probe,
// on the test network by beacons; a server whose model is not known yet
// answers neither.
#include "link/api/aDiscovery.h"
#include "sharing_helpers.h"

namespace {

using namespace sharetest;

struct Found {
  std::vector<linkSpec> specs;
  static uint8_t Take(const linkSpec* spec, bool* success, void* reference) {
    static_cast<Found*>(reference)->specs.push_back(*spec);
    *success = true;
    return 1;
  }
};

bool zeroFrom(const linkSpec& spec, size_t offset) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
  for (size_t i = offset; i < sizeof spec; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

const uint32_t kTestNetwork = inet_addr("198.18.0.1");

TEST(SharingDiscovery, ProbeFindsTheLocalServerWithItsRecord) {
  REQUIRE_NETNS();
  SharedModule shared;
  ASSERT_TRUE(shared.ready);
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, 0), 1u);
  ASSERT_EQ(found.specs.size(), 1u);
  const linkSpec& spec = found.specs[0];
  EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeClient));
  EXPECT_EQ(spec.serialNumber, StandIn::loopback());  // a TCP link is known by its address
  EXPECT_EQ(spec.model, kModel);
  EXPECT_EQ(spec.ipAddress, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(spec.port, shared.port);
  EXPECT_EQ(spec.moduleAddress, 0u);
  EXPECT_TRUE(zeroFrom(spec, 32));
  // What discovery hands out is enough to connect.
  aLinkRef client = aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.port), 0);
  ASSERT_NE(client, 0u);
  EXPECT_TRUE(LinkAsk(client, ModelGet(), ModelReply()));
  aLink_Destroy(&client);
}

TEST(SharingDiscovery, ModelZeroAnswersNoProbe) {
  REQUIRE_NETNS();
  SharedModule shared(true, 0, false);
  ASSERT_TRUE(shared.ready);
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, 0), 0u);
  EXPECT_EQ(aServer_SetModel(shared.server, kModel), aErrNone);
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, 0), 1u);
}

TEST(SharingDiscovery, BeaconSearchFindsTheServerOnTheTestNetwork) {
  REQUIRE_NETNS();
  SharedModule shared(false, 0);
  ASSERT_TRUE(shared.ready);
  EXPECT_TRUE(shared.server->discoveryIsBeacon);
  EXPECT_EQ(shared.address, kTestNetwork);  // the first interface, not loopback
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, kTestNetwork), 1u);
  ASSERT_EQ(found.specs.size(), 1u);
  const linkSpec& spec = found.specs[0];
  EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeClient));
  EXPECT_EQ(spec.model, kModel);
  EXPECT_EQ(spec.ipAddress, kTestNetwork);
  EXPECT_EQ(spec.port, shared.port);
  EXPECT_TRUE(zeroFrom(spec, 32));
  aLinkRef client = aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.port), 0);
  ASSERT_NE(client, 0u);
  EXPECT_TRUE(LinkAsk(client, Echo(3), EchoReply(3)));
  aLink_Destroy(&client);
  // Silenced after its 2 s, the server answers the next search afresh.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  Found again;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &again, kTestNetwork), 1u);
}

TEST(SharingDiscovery, ModelZeroAnswersNoBeacon) {
  REQUIRE_NETNS();
  SharedModule shared(false, 0, false);
  ASSERT_TRUE(shared.ready);
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, kTestNetwork), 0u);
}

TEST(SharingDiscovery, LocalOnlyServerStaysOnLoopback) {
  REQUIRE_NETNS();
  SharedModule shared(true, kTestNetwork);
  ASSERT_TRUE(shared.ready);
  EXPECT_FALSE(shared.server->discoveryIsBeacon);
  EXPECT_EQ(shared.address, htonl(INADDR_LOOPBACK));
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::Take, &found, kTestNetwork), 0u);
}

}  // namespace
