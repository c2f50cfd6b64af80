// The engine over a pseudo-terminal serial port against the module stand-in.
#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "standin.h"

namespace {

constexpr uint32_t kSerial = 0x51A10001;

TEST(SerialEngine, SyncEchoHeartbeatAndIdle) {
  StandIn module;
  aLinkRef id = aLink_CreateSerial(kSerial, module.ptyPath().c_str(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_CreateSerial(kSerial, module.ptyPath().c_str(), 115200), id);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  EXPECT_TRUE(echoRoundTrip(id, 2, 1));
  module("heartbeat 1");
  EXPECT_EQ(module.waitFor("answers", [](auto& w) { return !w.empty(); }), (std::vector<std::string>{"3"}));
  EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr);
  double cpu0 = processCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(processCpuMs() - cpu0, 50.0);
  EXPECT_TRUE(echoRoundTrip(id, 2, 2));
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  aLinkRef last = aLink_CreateSerial(kSerial, module.ptyPath().c_str(), 115200);
  EXPECT_NE(last, 0u);  // the second destroy below tears it down
  EXPECT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
}

TEST(SerialEngine, UnofferedBaudRateLeavesNoEntry) {
  StandIn module;
  EXPECT_EQ(aLink_CreateSerial(kSerial + 1, module.ptyPath().c_str(), 1200), 0u);
  // Had an entry stayed, this create would only add a use to it.
  aLinkRef id = aLink_CreateSerial(kSerial + 1, module.ptyPath().c_str(), 9600);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  aLinkRef copy = id;
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(copy), linkStateNoStream);
}

TEST(SerialEngine, GarbageOnTheLineIsResynchronised) {
  StandIn module;
  aLinkRef id = aLink_CreateSerial(kSerial + 2, module.ptyPath().c_str(), 230400);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  module("garbage 00ff");
  ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == linkStateRunning && std::stoi(module("syncs").at(0)) >= 12; }));
  for (uint8_t tag = 0; tag < 20; ++tag) EXPECT_TRUE(echoRoundTrip(id, 2, tag));
  aLink_Destroy(&id);
}

}  // namespace
