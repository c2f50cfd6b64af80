// discoverAndConnect: discovery by serial number or by model, and the
// fallback between USB and a sharing server's client link. Discovery
// multicasts, so these run only inside scripts/netns.
#include <stdlib.h>
#include <string.h>

#include "api_fixture.h"
#include "link/api/SystemClass.h"
#include "link/core/aDebug.h"
#include "tests/support/Netns.h"

using namespace apitest;
using namespace Veltrane::Tolvarine;

namespace {

std::vector<std::string> onTestNetwork(const char* serial, const char* model) {
  return {"--host", "198.18.0.1", "--discovery", "--serial", serial, "--model", model};
}

// Runs `work` with the library's trace on and returns what it printed.
template <typename Work>
std::string traced(Work work) {
  aTolvarineDebuggingEnable = 1;
  aTolvarineDebuggingLevel = aTRACE_LINK;
  testing::internal::CaptureStdout();
  work();
  std::string out = testing::internal::GetCapturedStdout();
  aTolvarineDebuggingEnable = 0;
  aTolvarineDebuggingLevel = 0;
  return out;
}

uint32_t serialOf(Module& module) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  return system.getSerialNumber(&serial) == aErrNone ? serial : 0;
}

}  // namespace

TEST(DiscoverAndConnect, FindsATcpModuleBySerialNumberAndNeverFallsBack) {
  REQUIRE_NETNS();
  StandIn module(onTestNetwork("0x5A5A0001", "0x11"));
  Link link("discovered");
  ASSERT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0x5A5A0001), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, 0x5A5A0001u);
  EXPECT_EQ(spec.port, module.tcpPort());
  EXPECT_TRUE(link.isConnected());
  // Still holding its engine link: a second attempt is refused.
  EXPECT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0x5A5A0001), aErrConnection);

  Link other("other");
  std::string out = traced([&] { EXPECT_EQ(other.discoverAndConnect(linkTypeTCPIP, 0x0BADF00D), aErrNotFound); });
  EXPECT_EQ(out.find("Executing Fallback"), std::string::npos);
}

TEST(DiscoverAndConnect, SerialNumberZeroTakesTheFirstModuleOfTheModel) {
  REQUIRE_NETNS();
  StandIn plain(onTestNetwork("0x5A5A0011", "0x11"));
  StandIn wanted(onTestNetwork("0x5A5A0013", "0x13"));
  Module module(2, false, 0x13);
  ASSERT_EQ(module.discoverAndConnect(linkTypeTCPIP, 0), aErrNone);
  EXPECT_EQ(serialOf(module), 0x5A5A0013u);
  Module none(2, false, 0x77);
  EXPECT_EQ(none.discoverAndConnect(linkTypeTCPIP, 0), aErrNotFound);
  EXPECT_EQ(none.connect(linkTypeTCPIP, 0), aErrParam);
}

TEST(DiscoverAndConnect, UsbAndClientFallBackOnceToEachOther) {
  REQUIRE_NETNS();
  Link link("fallback");
  std::string out = traced([&] { EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x0BADF00D), aErrNotFound); });
  EXPECT_NE(out.find("Executing Fallback: aEther\n"), std::string::npos) << out;
  out = traced([&] { EXPECT_EQ(link.discoverAndConnect(linkTypeClient, 0x0BADF00D), aErrNotFound); });
  EXPECT_NE(out.find("Executing Fallback: USB\n"), std::string::npos) << out;

  aEtherConfig config;
  config.fallbackEnabled = false;
  ASSERT_EQ(link.setConfig(config), aErrNone);
  out = traced([&] { EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x0BADF00D), aErrNotFound); });
  EXPECT_EQ(out.find("Executing Fallback"), std::string::npos) << out;
}
