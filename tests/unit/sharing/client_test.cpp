// The client side: argument checks, a server that goes away and comes
// back, and what a Ctrl+C does to a process with a client stream.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <future>

#include "sharing_helpers.h"

extern char** environ;

namespace {

using namespace sharetest;

#ifndef SHARING_PEER_BIN
#error "SHARING_PEER_BIN must name the sharing_peer helper"
#endif

// Runs the helper; its wait status, or -1 when it did not end in time.
int runPeer(const std::vector<std::string>& args, int ms = 20000) {
  std::vector<std::string> all = {SHARING_PEER_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  for (int waited = 0; waited < ms; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST(SharingArguments, NullsAndUnknownLinks) {
  EXPECT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), 1, nullptr), aErrParam);
  EXPECT_EQ(aServer_Create(987654, 0, true), nullptr);
  EXPECT_EQ(aServer_Start(nullptr), aErrParam);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  aServer* none = nullptr;
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  uint16_t port = 0;
  uint32_t address = 0;
  EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
  EXPECT_EQ(aServer_GetInterface(nullptr, &address), aErrParam);
  EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(nullptr, 2), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
}

TEST(SharingArguments, AccessorsOfACreatedServer) {
  StandIn module;
  aLinkRef link = aLink_CreateTCPIP(StandIn::loopback(), module.tcpPort());
  ASSERT_NE(link, 0u);
  aServer* server = aServer_Create(link, 0, true);
  ASSERT_NE(server, nullptr);
  uint32_t address = 0;
  EXPECT_EQ(aServer_GetInterface(server, &address), aErrNone);
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));  // 0 means loopback
  EXPECT_EQ(aServer_GetPort(server, nullptr), aErrParam);
  EXPECT_EQ(aServer_GetInterface(server, nullptr), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(server, 2), aErrNone);
  EXPECT_EQ(aServer_Destroy(&server), aErrNone);  // never started
  EXPECT_EQ(server, nullptr);
  aLink_Destroy(&link);
}

TEST(SharingArguments, SharingADeviceThatIsNotThereFails) {
  uint16_t port = 0;
  uint32_t address = 0;
  EXPECT_EQ(aLink_CreateServer(0x0BADF00D, &port, &address, true), 0u);
  EXPECT_EQ(aLink_CreateServer(0x0BADF00D, nullptr, &address, true), 0u);
}

TEST(SharingClient, ServerGoneTimesOutAndResetReconnectsWhenItIsBack) {
  REQUIRE_NETNS();
  SharedModule shared;
  ASSERT_TRUE(shared.ready);
  aLinkRef client = aLink_CreateClient(shared.address, shared.port, 0);
  ASSERT_NE(client, 0u);
  ASSERT_TRUE(LinkAsk(client, Echo(1), EchoReply(1)));

  shared.stopServer();
  uint32_t start = aTime_GetMSTicks();
  EXPECT_FALSE(LinkAsk(client, Echo(2), EchoReply(2), 1000));
  uint32_t waited = aTime_GetMSTicks() - start;
  EXPECT_GE(waited, 900u);
  EXPECT_LT(waited, 2500u);
  EXPECT_EQ(aLink_GetStatus(client), linkStateRunning);

  // The server comes back where the client knows it.
  shared.server = aServer_Create(shared.link, 0, true);
  ASSERT_NE(shared.server, nullptr);
  ASSERT_EQ(_aServer_RequestPort(shared.server, shared.port), aErrNone);
  ASSERT_EQ(aServer_Start(shared.server), aErrNone);
  EXPECT_EQ(aLink_Reset(client), aErrNone);
  EXPECT_TRUE(LinkAsk(client, Echo(3), EchoReply(3)));
  EXPECT_TRUE(LinkAsk(client, ModelGet(), ModelReply()));
  aLink_Destroy(&client);
}

TEST(SharingClient, DestroyingAClientLinkLeavesTheServerServing) {
  REQUIRE_NETNS();
  SharedModule shared;
  ASSERT_TRUE(shared.ready);
  for (int round = 0; round < 5; ++round) {
    aLinkRef client = aLink_CreateClient(shared.address, shared.port, 0);
    ASSERT_NE(client, 0u);
    EXPECT_TRUE(LinkAsk(client, Echo(static_cast<uint8_t>(round)), EchoReply(static_cast<uint8_t>(round))));
    aLink_Destroy(&client);
  }
  EXPECT_TRUE(LinkAsk(shared.owner, ModelGet(), ModelReply()));
}

// czmq's handler would swallow a Ctrl+C; the client actor hands it on.
TEST(SharingInterrupt, TheProgramsOwnHandlerRuns) {
  int status = runPeer({"interrupt", "own"});
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SharingInterrupt, WithoutAHandlerTheProgramEnds) {
  int status = runPeer({"interrupt", "default"});
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

// Two other processes and this one use the one module at the same time.
TEST(SharingProcesses, ThreeProcessesShareOneModule) {
  REQUIRE_NETNS();
  SharedModule shared;
  ASSERT_TRUE(shared.ready);
  auto peerA = std::async(std::launch::async, [] { return runPeer({"discover", "60", "0"}, 60000); });
  auto peerB = std::async(std::launch::async, [] { return runPeer({"discover", "60", "100"}, 60000); });
  // This process keeps asking for as long as the others run.
  auto running = [](std::future<int>& peer) {
    return peer.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
  };
  int asked = 0;
  int good = 0;
  for (; asked < 60 || running(peerA) || running(peerB); ++asked) {
    uint8_t tag = static_cast<uint8_t>(200 + asked % 50);
    bool model = asked % 2 == 1;
    good += LinkAsk(shared.owner, model ? ModelGet() : Echo(tag), model ? ModelReply() : EchoReply(tag)) ? 1 : 0;
  }
  EXPECT_EQ(good, asked);
  int a = peerA.get();
  int b = peerB.get();
  ASSERT_TRUE(WIFEXITED(a));
  ASSERT_TRUE(WIFEXITED(b));
  EXPECT_EQ(WEXITSTATUS(a), 0);
  EXPECT_EQ(WEXITSTATUS(b), 0);
  EXPECT_EQ(aLink_GetPacket(shared.owner), nullptr);
}

}  // namespace
