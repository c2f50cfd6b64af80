// The upgrade sub-protocol's edge cases, each played against the module
// stand-in's loader with one of its fault switches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/link_api/api_fixture.h"
#include "updater/UpdaterEntity.h"

namespace {

using apitest::Bytes;
using apitest::ModuleTest;

class CountingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override { ++progress; }
  void update_spinner(bool on, const char*) override { spins += on ? 1 : 0; }
  void info_message(const char*) override {}
  void error_message(const char*) override {}
  int spins = 0;
  int progress = 0;
};

// A block as the package holds it: the 4-byte load address, then the image.
Bytes block(uint32_t address, size_t length) {
  Bytes out = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 1));
  return out;
}

class UpgradeEntity : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(entity.init(&device, 0, true, false), aErrNone);
  }

  // The upgrade requests the stand-in received, as hex, operation first.
  std::vector<std::string> upgradeRequests() {
    std::vector<std::string> out;
    for (const std::string& packet : requests()) {
      if (packet.size() >= 6 && packet.compare(4, 2, "5f") == 0) out.push_back(packet.substr(6));
    }
    return out;
  }
  // Data lengths of the DATA requests received.
  std::vector<size_t> dataPieces() {
    std::vector<size_t> out;
    for (const std::string& r : upgradeRequests())
      if (r.rfind("01", 0) == 0) out.push_back(r.size() / 2 - 1);
    return out;
  }
  // INIT and PREPARE for a loader block of `length` bytes; the stand-in's
  // record of received packets starts after them.
  Bytes preparedLoader(size_t length) {
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    Bytes loader = block(0x20000000, length);
    unsigned short blockSize = 0;
    EXPECT_EQ(prepare(loader, blockSize), aErrNone);
    module("clear");
    return loader;
  }
  aErr prepare(const Bytes& data, unsigned short& blockSize) {
    return entity.TransferPrepare(data.data(), static_cast<unsigned>(data.size()), 0, blockSize);
  }

  UpdaterEntity entity;
  CountingDisplay display;
};

TEST_F(UpgradeEntity, InitNeedsAFullLoadBase) {
  module("fault length 95/0 5");
  EXPECT_EQ(entity.LoaderInit(), aErrPacket);
  module("fault length 95/0 6");
  EXPECT_EQ(entity.LoaderInit(), aErrNone);
}

TEST_F(UpgradeEntity, PiecesOfTwentySixBytesThenTheSum) {
  const Bytes loader = preparedLoader(53);
  ASSERT_EQ(entity.LoaderTransfer(loader.data(), static_cast<unsigned>(loader.size())), aErrNone);
  EXPECT_EQ(dataPieces(), (std::vector<size_t>{26, 26, 1}));
  EXPECT_EQ(upgradeRequests().back(), "04");
}

TEST_F(UpgradeEntity, EmptyTransferStillAsksForTheSum) {
  const Bytes loader = preparedLoader(0);
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), 4), aErrNone);
  EXPECT_EQ(upgradeRequests(), (std::vector<std::string>{"04"}));
}

TEST_F(UpgradeEntity, WrongSumIsRefused) {
  const Bytes loader = preparedLoader(40);
  module("loader_fault wrong_sum 1");
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), static_cast<unsigned>(loader.size())), aErrInvalidOption);
}

TEST_F(UpgradeEntity, RefusedPrepareLeavesTheBlockSize) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  module("loader_fault refuse_prepare 1");
  unsigned short blockSize = 77;
  EXPECT_EQ(prepare(block(0x20000000, 8), blockSize), aErrInvalidOption);
  EXPECT_EQ(blockSize, 77);
}

TEST_F(UpgradeEntity, BlockSizeZeroIsRefused) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  module("loader_fault block_size_zero 1");
  unsigned short blockSize = 77;
  EXPECT_EQ(prepare(block(0x20000000, 8), blockSize), aErrInvalidOption);
  EXPECT_EQ(blockSize, 77);
  const Bytes firmware = block(0x4000, 8);
  EXPECT_EQ(entity.FirmwareTransfer(firmware.data(), 12, 0, display), aErrInvalidOption);
}

TEST_F(UpgradeEntity, EndlessMiscountsEndWithPacketError) {
  const Bytes loader = preparedLoader(10);
  module("loader_fault wrong_count 1000");
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), static_cast<unsigned>(loader.size())), aErrPacket);
  EXPECT_EQ(dataPieces().size(), kUpgradeMaxResends + 1);
}

TEST_F(UpgradeEntity, OneMiscountSendsThePieceAgain) {
  const Bytes loader = preparedLoader(30);
  module("loader_fault wrong_count 1");
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), static_cast<unsigned>(loader.size())), aErrNone);
  EXPECT_EQ(dataPieces(), (std::vector<size_t>{26, 26, 4}));
}

TEST_F(UpgradeEntity, LoaderThatNeverReturnsTimesOut) {
  ASSERT_EQ(device.disconnect(), aErrNone);
  ASSERT_EQ(device.connectFromSpec(apitest::tcpSpec(module.tcpPort())), aErrNone);
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  module("loader_fault silent load");
  module("loader_fault no_return_after_load 1");
  EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
}

TEST_F(UpgradeEntity, FirmwareGoesInBlockSizedPiecesEachWritten) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  module("load_drops 0");
  ASSERT_EQ(entity.LoaderStart(), aErrNone);
  const Bytes firmware = block(0x4000, 600);
  unsigned short blockSize = 0;
  module("block_size 256");
  ASSERT_EQ(prepare(firmware, blockSize), aErrNone);
  ASSERT_EQ(blockSize, 256);
  module("clear");
  ASSERT_EQ(entity.FirmwareTransfer(firmware.data(), static_cast<unsigned>(firmware.size()), blockSize, display),
            aErrNone);
  EXPECT_EQ(module("writes"), (std::vector<std::string>{"0x00004000:256", "0x00004100:256", "0x00004200:88"}));
  EXPECT_EQ(display.progress, 3);
}

TEST_F(UpgradeEntity, RefusedWriteFailsTheBlock) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  module("load_drops 0");
  ASSERT_EQ(entity.LoaderStart(), aErrNone);
  const Bytes firmware = block(0x4000, 100);
  unsigned short blockSize = 0;
  ASSERT_EQ(prepare(firmware, blockSize), aErrNone);
  module("loader_fault refuse_write 1");
  EXPECT_EQ(entity.FirmwareWrite(100), aErrInvalidOption);
}

TEST_F(UpgradeEntity, IndirectRebootWaitsOneRoundAtMost) {
  module("loader_fault reboot_keeps_link 1");
  ASSERT_EQ(entity.init(&device, 0, true, true), aErrNone);
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_LE(display.spins, 1);
}

TEST_F(UpgradeEntity, RebootThatKeepsTheLinkIsWaitedForBoundedly) {
  module("loader_fault reboot_keeps_link 1");
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_LE(display.spins, static_cast<int>(kUpgradeRebootWaitRounds));
}

// Over TCP/IP the module closes its connection to reboot: that ends the wait
// in its first round, and the link reports itself down.
TEST_F(UpgradeEntity, RebootEndsTheWaitOnceTheModuleClosesItsConnection) {
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_EQ(display.spins, 1);
  EXPECT_FALSE(device.isConnected());
}

TEST_F(UpgradeEntity, ByteArrayPathOnlyWhenTheModuleHasIt) {
  module("uei_data 0");
  EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_FALSE(entity.UsesUEIData());
  module("uei_data 1");
  EXPECT_EQ(entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_TRUE(entity.UsesUEIData());
  module("pooled 1");
  EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
}

TEST_F(UpgradeEntity, ByteArrayTransferIsOneSetVerifiedBySum) {
  module("uei_data 1");
  ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
  const Bytes loader = preparedLoader(200);
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), static_cast<unsigned>(loader.size())), aErrNone);
  EXPECT_TRUE(dataPieces().empty());
  EXPECT_EQ(upgradeRequests().back(), "04");
}

}  // namespace
