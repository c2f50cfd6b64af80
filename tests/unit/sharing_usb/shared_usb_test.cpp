// A module on (emulated) USB opened by a Link with sharing on becomes a shared
// link: another process finds it on loopback and talks to the module while
// this one does, and the device cannot be opened a second time directly.
#include <gtest/gtest.h>

#include "tests/unit/usb_bridge/bridge_harness.h"

#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

#include "link/api/Link.h"
#include "link/api/Module.h"
#include "link/api/SystemClass.h"
#include "link/core/aLink.h"
#include "link/core/tvusb.h"
#include "tests/unit/link_engine/standin.h"

extern char** environ;

namespace {

using Veltrane::Tolvarine::Link;
using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

constexpr uint32_t kSerial = 0x40F5849A;

class SharedUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bridgetest::kPreloaded);
    ASSERT_EQ(bridge.send("add 40F5849A 0011 127.0.0.1 " + std::to_string(module.tcpPort()) + " 512").rfind("ok", 0),
              0u);
  }
  void TearDown() override { Tolvarine_libusb_exit(); }

  StandIn module;
  bridgetest::Bridge bridge;
};

// The peer inherits the preload library and the testbed of this process.
pid_t spawnPeer(const char* mode, std::string first, std::string second) {
  char* argv[] = {const_cast<char*>(SHARING_PEER_BIN), const_cast<char*>(mode), first.data(), second.data(),
                  nullptr};
  pid_t pid = -1;
  return posix_spawn(&pid, SHARING_PEER_BIN, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

int exitStatus(pid_t pid) {
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A served module: its link reports the server's port, and a plain USB link
// to the device cannot be made while the server holds it.
template <typename Holder>
void expectServed(const Holder& holder) {
  aEtherConfig config;
  ASSERT_EQ(holder.getConfig(&config), aErrNone);
  EXPECT_NE(config.serverPort, 0);
  aLinkRef direct = aLink_CreateUSB(kSerial);
  EXPECT_EQ(direct, 0u);
  if (direct != 0) aLink_Destroy(&direct);
}

TEST_F(SharedUsb, TwoProcessesUseOneModuleAtOnce) {
  Module shared(2, 0);  // default configuration: sharing on
  ASSERT_EQ(shared.connect(linkTypeUSB, kSerial), aErrNone);
  expectServed(shared);

  const pid_t peer = spawnPeer("discover", "60", "16");
  ASSERT_GT(peer, 0);
  SystemClass system;
  system.init(&shared, 0);
  int answered = 0;
  for (int i = 0; i < 60; ++i) {
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) == aErrNone && serial == kSerial) ++answered;
  }
  EXPECT_EQ(exitStatus(peer), 0);
  EXPECT_EQ(answered, 60);

  // Letting go of the shared link frees the device for a direct one.
  ASSERT_EQ(shared.disconnect(), aErrNone);
  aLinkRef direct = 0;
  for (int i = 0; i < 50 && direct == 0; ++i) {
    direct = aLink_CreateUSB(kSerial);
    if (direct == 0) usleep(100000);
  }
  EXPECT_NE(direct, 0u);
  if (direct != 0) aLink_Destroy(&direct);
}

// Another process asking for the module over USB finds the device taken and
// falls back to a client link of the server that holds it.
TEST_F(SharedUsb, AUsbRequestForAServedModuleFallsBackToItsServer) {
  Module shared(2, 0);
  ASSERT_EQ(shared.connect(linkTypeUSB, kSerial), aErrNone);
  const pid_t peer = spawnPeer("fallback", "40F5849A", "20");
  ASSERT_GT(peer, 0);
  EXPECT_EQ(exitStatus(peer), 0);
  // The served link is unharmed by the peer's failed USB attempt.
  SystemClass system;
  system.init(&shared, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);
}

// Without any server, asking for a client link falls back to USB, which (with
// sharing on) opens the module as a shared link.
TEST_F(SharedUsb, AClientRequestWithoutAServerFallsBackToUsb) {
  Link link("fallback");
  ASSERT_EQ(link.discoverAndConnect(linkTypeClient, kSerial, 0), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, linkTypeUSB);
  expectServed(link);
  EXPECT_EQ(link.disconnect(), aErrNone);
}

}  // namespace
