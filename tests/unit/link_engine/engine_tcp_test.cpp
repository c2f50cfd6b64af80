// The engine over TCP against the module stand-in (sim/module.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "engine_helpers.h"
#include "standin.h"

namespace {

constexpr uint8_t kAddress = 2;

int count(const std::vector<std::string>& words, const std::string& word) {
  return static_cast<int>(std::count(words.begin(), words.end(), word));
}

int syncs(StandIn& module) { return std::stoi(module("syncs").at(0)); }

class TcpEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    id = aLink_CreateTCPIP(StandIn::loopback(), module.tcpPort());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_GetStatus(id), linkStateRunning);
  }
  void TearDown() override {
    if (id != 0) {
      EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    }
  }
  StandIn module;
  aLinkRef id = 0;
};

TEST_F(TcpEngine, CreatingTwiceSharesOneLink) {
  aLinkRef again = aLink_CreateTCPIP(StandIn::loopback(), module.tcpPort());
  EXPECT_EQ(again, id);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);  // one use left
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 1));
  aLinkRef last = id;
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(last), linkStateNoStream);
  EXPECT_EQ(aLink_Destroy(&last), aErrParam);
}

TEST_F(TcpEngine, SynchronisesOnRequest) {
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  // Two equal replies put the link in step; of the six requests, those still
  // queued then are dropped, so a slow out-pipe may send only some of them.
  EXPECT_GE(syncs(module), 2);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);  // stray sync replies are discarded
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 2));
}

// The sync machine wants two equal replies A,0,A,0; A,0,B,0 starts over with
// six fresh requests, A,0,A,0 then completes.
TEST_F(TcpEngine, SyncNeedsTwoEqualReplies) {
  module("refuse_sync 1");
  auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
  module.waitFor("syncs", [](auto& w) { return std::stoi(w.at(0)) >= 6; });
  int before = syncs(module);
  module("send 02000400");
  auto words = module.waitFor("syncs", [before](auto& w) { return std::stoi(w.at(0)) >= before + 6; });
  EXPECT_GE(std::stoi(words.at(0)), before + 6);
  EXPECT_EQ(aLink_GetStatus(id), linkStateSynchronising);
  module("send 02000200");
  EXPECT_EQ(sync.get(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  module("refuse_sync 0");
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 3));
}

// While a sync goes unanswered the link neither spins nor floods the module.
TEST_F(TcpEngine, UnansweredSyncIsRateLimited) {
  module("refuse_sync 1");
  double cpu0 = processCpuMs();
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);  // 2 s without an answer
  double cpu = processCpuMs() - cpu0;
  int sent = syncs(module);
  EXPECT_GE(sent, 6);
  EXPECT_LE(sent, 6 * 12);  // at most one round per resync period
  EXPECT_LT(cpu, 200.0);    // of about 2100 ms
  module("refuse_sync 0");
  EXPECT_EQ(aLink_Sync(id), aErrNone);
}

TEST_F(TcpEngine, HeartbeatsAreAnsweredAndNeverQueued) {
  module("heartbeat 0");
  module("heartbeat 1");
  auto answers = module.waitFor("answers", [](auto& w) { return w.size() >= 2; });
  EXPECT_EQ(answers, (std::vector<std::string>{"2", "3"}));
  auto packets = module("packets");
  EXPECT_EQ(count(packets, "02020002"), 1);
  EXPECT_EQ(count(packets, "02020003"), 1);
  EXPECT_EQ(aLink_AwaitPacket(id, 200), nullptr);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
}

TEST_F(TcpEngine, GarbageForcesResyncAndNothingAfterIsLost) {
  module("clear");
  module("garbage 0301ff");  // an odd address breaks framing
  module.waitFor("syncs", [](auto& w) { return std::stoi(w.at(0)) >= 6; });
  ASSERT_TRUE(waitUntil([this] { return aLink_GetStatus(id) == linkStateRunning; }));
  for (uint8_t tag = 10; tag < 40; ++tag) ASSERT_TRUE(echoRoundTrip(id, kAddress, tag)) << int(tag);
}

TEST_F(TcpEngine, CorruptedReplyIsRecoveredFrom) {
  module("corrupt 1");
  EXPECT_FALSE(echoRoundTrip(id, kAddress, 50, 300));  // its address byte was flipped
  ASSERT_TRUE(waitUntil([this] { return aLink_GetStatus(id) == linkStateRunning; }));
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 51));
}

TEST_F(TcpEngine, BurstOfRequestsAllAnsweredInOrder) {
  for (uint8_t tag = 0; tag < 100; ++tag) {
    aPacket* p = echoRequest(kAddress, tag);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
  }
  for (uint8_t tag = 0; tag < 100; ++tag) {
    aPacket* reply = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data[1], tag);
    aPacket_Destroy(&reply);
  }
}

TEST_F(TcpEngine, RouteControlOnStartAndStop) {
  EXPECT_EQ(module.waitFor("routes", [](auto& w) { return !w.empty(); }), (std::vector<std::string>{"1"}));
  EXPECT_EQ(aLink_Reset(id), aErrNone);  // a stop, a new stream and a start
  auto routes = module.waitFor("routes", [](auto& w) { return w.size() >= 3; });
  EXPECT_EQ(routes, (std::vector<std::string>{"1", "0", "1"}));
}

TEST_F(TcpEngine, ResetAfterTheModuleClosedTheConnection) {
  module("close");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The socket stream reconnects by itself when a write finds the connection
  // gone; a reset builds a new stream in any case.
  echoRoundTrip(id, kAddress, 60, 300);
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_GE(std::stoi(module("connections").at(0)), 2);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 61));
}

// A module that goes away (as it does to reboot) leaves a dropped link: its
// waits end at once, and a reset once the module is back runs it again.
TEST_F(TcpEngine, ModuleGoingAwayDropsTheLinkUntilAReset) {
  module("reboot");
  ASSERT_TRUE(waitUntil([this] { return aLink_GetStatus(id) == linkStateIOError; }));
  EXPECT_FALSE(echoRoundTrip(id, kAddress, 62, 0x7FFFFFFF));
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 63));
}

TEST_F(TcpEngine, ModelAndAddressQueries) {
  module("set model 0x2A");
  uint8_t address = 0, model = 0;
  ASSERT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
  EXPECT_EQ(address, kAddress);
  ASSERT_EQ(_aLink_GetModel(id, address, &model), aErrNone);
  EXPECT_EQ(model, 0x2A);
  module("stall 1500");
  EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrTimeout);
}

TEST_F(TcpEngine, UserFilterSeesPacketsFirst) {
  struct Seen {
    std::atomic<int> count{0};
  } seen;
  auto filter = [](const aPacket* p, void* ref) {
    if (p->data[0] != 23) return false;
    ++static_cast<Seen*>(ref)->count;
    return true;
  };
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, filter, &seen), aErrNone);
  EXPECT_FALSE(echoRoundTrip(id, kAddress, 70, 300));
  EXPECT_EQ(seen.count, 1);
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 71));
}

// An idle connected link sleeps: its pipes cost next to no CPU.
TEST_F(TcpEngine, IdleLinkDoesNotSpin) {
  double cpu0 = processCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LT(processCpuMs() - cpu0, 75.0);  // 5 % of 1500 ms, sanitizer included
  EXPECT_TRUE(echoRoundTrip(id, kAddress, 80));
}

}  // namespace
