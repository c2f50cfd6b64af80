// Module connections, auto-networking, routing through a router module, the
// information command 0x49 and the echo test, against the module stand-in.
#include "api_fixture.h"
#include "link/api/SystemClass.h"

using namespace apitest;
using namespace Veltrane::Tolvarine;

namespace {

int syncs(StandIn& module) { return std::stoi(module("syncs").at(0)); }

aEtherConfig unshared() {
  aEtherConfig config;
  config.sharingEnabled = false;
  return config;
}

}  // namespace

TEST_F(StandInTest, AutoNetworkingAdoptsTheAddressTheDeviceReports) {
  module("set address 6");
  Module device(2, 0);
  ASSERT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  EXPECT_EQ(device.getModuleAddress(), 6);
  EXPECT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrBusy);
  EXPECT_EQ(device.disconnect(), aErrNone);
  module("set address 8");
  ASSERT_EQ(device.reconnect(), aErrNone);
  EXPECT_EQ(device.getModuleAddress(), 8);
}

TEST_F(StandInTest, AutoNetworkingGivesUpAfterFourAttemptsAndStaysConnected) {
  module("refuse_sync 1");
  module("clear");
  Module device(4, 0);
  EXPECT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNotReady);
  EXPECT_TRUE(device.isConnected());
  EXPECT_EQ(device.getModuleAddress(), 4);
  EXPECT_EQ(syncs(module), 4);
}

TEST_F(StandInTest, WithoutAutoNetworkingNothingIsAsked) {
  module("clear");
  Module device(4, false, 0);
  ASSERT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  EXPECT_EQ(device.getModuleAddress(), 4);
  EXPECT_EQ(syncs(module), 0);
}

// The target behind the router is addressed on the router's own link.
TEST_F(StandInTest, ARoutedModuleSharesTheRoutersLinkUnderItsOwnAddress) {
  Module router(2, false, 0);
  ASSERT_EQ(router.setConfig(unshared()), aErrNone);
  ASSERT_EQ(router.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  {
    Module target(6, true, 0);
    ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);
    EXPECT_TRUE(target.isConnected());
    linkSpec spec{};
    ASSERT_EQ(target.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, linkTypeTCPIP);
    module("clear");
    SystemClass system;
    system.init(&target, 0);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrTimeout);  // nobody at 6 on the stand-in
    EXPECT_EQ(awaitRequests(1), (std::vector<std::string>{"0603034820"}));

    // Auto-networking stays off: a reconnect keeps the address behind the router.
    ASSERT_EQ(target.disconnect(), aErrNone);
    ASSERT_EQ(target.reconnect(), aErrNone);
    EXPECT_EQ(target.getModuleAddress(), 6);
  }
  EXPECT_TRUE(router.isConnected());  // the target's use is gone, the router's stays
  uint8_t model = 0;
  SystemClass system;
  system.init(&router, 0);
  EXPECT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x11);
}

TEST_F(StandInTest, ASharingRouterIsReachedAsAClientOfItsLink) {
  Module router(2, false, 0);
  ASSERT_EQ(router.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  Module target(6, false, 0);
  ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(target.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, linkTypeClient);
  EXPECT_EQ(spec.ipAddress, aETHER_LOOPBACK);
  EXPECT_EQ(target.getLink()->getStatus(), linkStateRunning);
  const uint8_t ping[1] = {1};
  EXPECT_EQ(router.debug(ping, 1), aErrNone);
}

TEST_F(StandInTest, RoutingAConnectedModuleChangesNothing) {
  Module router(2, false, 0);
  ASSERT_EQ(router.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  Module device(4, true, 0);
  ASSERT_EQ(device.setConfig(unshared()), aErrNone);
  ASSERT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  EXPECT_EQ(device.getModuleAddress(), 2);
  EXPECT_EQ(device.connectThroughLinkModule(&router), aErrNone);
  module("set address 8");
  ASSERT_EQ(device.disconnect(), aErrNone);
  ASSERT_EQ(device.reconnect(), aErrNone);
  EXPECT_EQ(device.getModuleAddress(), 8);  // auto-networking still on
}

TEST_F(ModuleTest, BuildComesFromTheInformationCommand) {
  silence({0x49});
  inject({{0x49, 0xFF, 0x00, 0x00, 0x30, 0x39}, {0x49, 0xFF, 1}});
  uint32_t build = 0;
  ASSERT_EQ(device.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(device.getBuild(&build), aErrSize);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(awaitRequests(2).at(0), "020249ff");
}

TEST_F(ModuleTest, HasUEIReturnsTheDeviceStatusOfAnEchoedRequest) {
  silence({0x49});
  inject({{0x49, 1, 3, 8, 0, 0}, {0x49, 1, 3, 8, 0, aErrNotFound}, {0x49, 1, 3, 9, 0, 0}});
  EXPECT_EQ(device.hasUEI(3, 8, 0, 0x40), aErrNone);
  EXPECT_EQ(device.hasUEI(3, 8, 0, 0x80), aErrNotFound);
  EXPECT_EQ(device.hasUEI(3, 8, 0, 0x80), aErrUnknown);  // the reply names option 9
  EXPECT_EQ(device.hasUEI(3, 8, 0, 0xC0), aErrParam);
  EXPECT_EQ(awaitRequests(3).at(1), "0206490103080080");
}

TEST_F(ModuleTest, CountsAndGroupsComeFromEchoedReplies) {
  silence({0x49});
  inject({{0x49, 4, 8, 2}, {0x49, 5, 8, 1, 3}, {0x49, 6, 8, 1, 7}, {0x49, 4, 9, 5}});
  uint8_t value = 0;
  ASSERT_EQ(device.classQuantity(8, &value), aErrNone);
  EXPECT_EQ(value, 2);
  ASSERT_EQ(device.subClassQuantity(8, 1, &value), aErrNone);
  EXPECT_EQ(value, 3);
  ASSERT_EQ(device.entityGroup(8, 1, &value), aErrNone);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(device.classQuantity(8, &value), aErrUnknown);  // answers class 9
  EXPECT_EQ(value, 0);
  std::vector<std::string> sent = awaitRequests(4);
  EXPECT_EQ(sent.at(0), "0203490408");
  EXPECT_EQ(sent.at(1), "020449050801");
  EXPECT_EQ(sent.at(2), "020449060801");
}

TEST_F(ModuleTest, EchoTestWantsTheSameBytesBack) {
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(device.debug(data, 5), aErrNone);
  inject({{23, 1, 2, 3, 4, 6}});  // a wrong echo ahead of the real one
  EXPECT_EQ(device.debug(data, 5), aErrIO);
}

TEST_F(ModuleTest, PacketLogRecordsTrafficAsText) {
  std::string path = "/tmp/tv-packetlog-" + std::to_string(getpid()) + ".txt";
  unlink(path.c_str());
  ASSERT_EQ(device.enablePacketLog(path.c_str()), aErrNone);
  const uint8_t data[2] = {0xAB, 0xCD};
  ASSERT_EQ(device.debug(data, 2), aErrNone);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(device.disablePacketLog(), aErrNone);
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(std::string("6 < START") + '\0' + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("5 > 0x2 0x3 0x17 0xAB 0xCD \r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("5 < 0x2 0x3 0x17 0xAB 0xCD \r\n"), std::string::npos) << text;
  unlink(path.c_str());
}

// A refused routed connection must not keep the router's engine link as a
// use of its own: destroying it leaves the router's link running.
TEST_F(StandInTest, ARefusedRoutedLinkLeavesTheRoutersLinkAlone) {
  Link router("router");
  ASSERT_EQ(router.setLinkSpecifier(tcpSpec(module.tcpPort())), aErrNone);
  ASSERT_EQ(router.connect(), aErrNone);
  {
    Link noSpecifier("target");
    EXPECT_EQ(noSpecifier.connectThroughLinkModule(router), aErrConfiguration);
    Link unsharedClient("client");
    linkSpec client = tcpSpec(module.tcpPort());
    client.type = linkTypeClient;
    aEtherConfig config;
    config.sharingEnabled = false;
    ASSERT_EQ(unsharedClient.setConfig(config), aErrNone);
    ASSERT_EQ(unsharedClient.setLinkSpecifier(client), aErrNone);
    EXPECT_EQ(unsharedClient.connectThroughLinkModule(router), aErrConfiguration);
    EXPECT_EQ(unsharedClient.getStatus(), linkStateDeliveryError);
    Link own("own");
    ASSERT_EQ(own.setLinkSpecifier(tcpSpec(module.tcpPort())), aErrNone);
    ASSERT_EQ(own.connect(), aErrNone);
    EXPECT_EQ(own.connectThroughLinkModule(router), aErrConnection);
  }
  EXPECT_TRUE(router.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(router.getModuleAddress(&address), aErrNone);
}
