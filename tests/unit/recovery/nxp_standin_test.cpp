// The ISP client against the LPC1768 stand-in of sim/lpc_isp.py on a pty:
// the whole dialogue as the recovery flow uses it, and the fault switches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "StandInProcess.h"
#include "recovery/NXPSerialClass.h"

namespace {

class LpcStandIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { chip = new StandInProcess("sim/lpc_isp.py"); }
  static void TearDownTestSuite() {
    delete chip;
    chip = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(chip->running());
    chip->control("reset");
    chip->control("resend 0");
    chip->control("bad_read_checksum 0");
    chip->control("silent 0");
    chip->control("refuse_sync 0");
    for (const char* letter : {"P", "E", "C", "W", "U"}) chip->control(std::string("code ") + letter + " off");
    ASSERT_EQ(nxp.Connect(chip->pty().c_str(), 115200), aErrNone);
  }

  void syncAndUnlock() {
    ASSERT_EQ(nxp.Sync(), aErrNone);
    ASSERT_EQ(nxp.Unlock(), aErrNone);
  }

  std::vector<uint8_t> flash(uint32_t address, size_t length) {
    return fromHex(chip->control("flash " + std::to_string(address) + " " + std::to_string(length)));
  }

  // The recovery flow's way: pieces of at most 4096 bytes through RAM.
  aErr program(uint32_t address, const std::vector<uint8_t>& image) {
    for (size_t at = 0; at < image.size(); at += 4096) {
      int length = static_cast<int>(std::min<size_t>(4096, image.size() - at));
      uint32_t target = address + static_cast<uint32_t>(at);
      aErr err = nxp.Write(NXPSerialClass::WRITE_ADDRESS, length, image.data() + at);
      if (err != aErrNone) return err;
      err = nxp.Prepare(NXPSerialClass::SectorFromAddress(target),
                        NXPSerialClass::SectorFromAddress(target + static_cast<uint32_t>(length) - 1));
      if (err != aErrNone) return err;
      err = nxp.CopyToFlash(target, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(length));
      if (err != aErrNone) return err;
    }
    return aErrNone;
  }

  static StandInProcess* chip;
  NXPSerialClass nxp;
};

StandInProcess* LpcStandIn::chip = nullptr;

std::vector<uint8_t> image(size_t n, unsigned seed) {
  std::vector<uint8_t> data(n);
  unsigned x = seed;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

}  // namespace

TEST_F(LpcStandIn, SyncThenIdentify) {
  chip->control("fingerprint 0x01020304 0xA0B0C0D0 7 0xFFFFFFFF");
  ASSERT_EQ(nxp.Sync(), aErrNone);
  int major = 0, minor = 0;
  EXPECT_EQ(nxp.GetBootLoaderVersion(major, minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 1);
  int64_t part = 0;
  EXPECT_EQ(nxp.GetPartNumber(part), aErrNone);
  EXPECT_EQ(part, 0x26013F37);
  ASSERT_EQ(nxp.GetDeviceID(), aErrNone);
  EXPECT_EQ(nxp.DeviceID()[0], 0x01020304u);
  EXPECT_EQ(nxp.DeviceID()[1], 0xA0B0C0D0u);
  EXPECT_EQ(nxp.DeviceID()[2], 7u);
  EXPECT_EQ(nxp.DeviceID()[3], 0xFFFFFFFFu);
}

TEST_F(LpcStandIn, SyncLogsItsDialogue) {
  LogCapture log(DEBUG_NXPSerial_SR);
  ASSERT_EQ(nxp.Sync(), aErrNone);
  EXPECT_NE(log.text().find("Sending:[3F] [?]\n"), std::string::npos);
  EXPECT_NE(log.text().find("Sending:[31 34 37 34 36 0D 0A] [14746\\r\\n]\n"), std::string::npos);
}

TEST_F(LpcStandIn, ProgramsTheWholeFlashLikeTheRecoveryFlow) {
  syncAndUnlock();
  ASSERT_EQ(nxp.Prepare(0, 29), aErrNone);
  ASSERT_EQ(nxp.Erase(0, 29), aErrNone);
  ASSERT_EQ(nxp.SetEcho(false), aErrNone);
  // Spans the 4 KiB / 32 KiB sector boundary and ends in a short piece.
  std::vector<uint8_t> firmware = image(0x10000 + 5000, 1);
  const uint32_t base = 0xC000;
  ASSERT_EQ(program(base, firmware), aErrNone);
  EXPECT_EQ(flash(base, firmware.size()), firmware);
  EXPECT_EQ(flash(base - 16, 16), std::vector<uint8_t>(16, 0xFF));
  // The short last piece was copied as 1024 bytes: the rest is RAM contents,
  // and after that the flash is still erased.
  EXPECT_EQ(flash(base + 0x10000 + 5120, 64), std::vector<uint8_t>(64, 0xFF));
  ASSERT_EQ(nxp.SetEcho(true), aErrNone);
}

TEST_F(LpcStandIn, ReadsBackWhatItWroteWithEchoOnAndOff) {
  ASSERT_EQ(nxp.Sync(), aErrNone);
  std::vector<uint8_t> data = image(2000, 2);
  ASSERT_EQ(nxp.Write(0x10000400, 2000, data.data()), aErrNone);
  std::vector<uint8_t> back(2000);
  ASSERT_EQ(nxp.Read(0x10000400, 2000, back.data()), aErrNone);
  EXPECT_EQ(back, data);
  ASSERT_EQ(nxp.SetEcho(false), aErrNone);
  std::fill(back.begin(), back.end(), 0);
  ASSERT_EQ(nxp.Read(0x10000400, 2000, back.data()), aErrNone);
  EXPECT_EQ(back, data);
}

TEST_F(LpcStandIn, WriteSurvivesTwoResendsAndGivesUpOnThree) {
  ASSERT_EQ(nxp.Sync(), aErrNone);
  ASSERT_EQ(nxp.SetEcho(false), aErrNone);
  std::vector<uint8_t> data = image(1200, 3);
  chip->control("resend 2");
  ASSERT_EQ(nxp.Write(0x10001000, 1200, data.data()), aErrNone);
  EXPECT_EQ(fromHex(chip->control("ram 0x10001000 1200")), data);
  chip->control("resend 3");
  EXPECT_EQ(nxp.Write(0x10001000, 1200, data.data()), aErrTimeout);
}

TEST_F(LpcStandIn, ReadSurvivesTwoBadChecksumsAndGivesUpOnThree) {
  ASSERT_EQ(nxp.Sync(), aErrNone);
  std::vector<uint8_t> data = image(100, 4);
  ASSERT_EQ(nxp.Write(0x10002000, 100, data.data()), aErrNone);
  std::vector<uint8_t> back(100);
  chip->control("bad_read_checksum 2");
  ASSERT_EQ(nxp.Read(0x10002000, 100, back.data()), aErrNone);
  EXPECT_EQ(back, data);
  chip->control("bad_read_checksum 3");
  EXPECT_EQ(nxp.Read(0x10002000, 100, back.data()), aErrTimeout);
}

TEST_F(LpcStandIn, ChosenReturnCodesFailTheirCommands) {
  syncAndUnlock();
  chip->control("code P 9");
  EXPECT_EQ(nxp.Prepare(0, 1), aErrParam);
  chip->control("code P off");
  // The chip's own rules: erase and copy need prepared sectors.
  EXPECT_EQ(nxp.Erase(0, 1), aErrParam);
  EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  chip->control("code W 14");
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(nxp.Write(0x10001000, 4, data), aErrParam);
}

TEST_F(LpcStandIn, CopyWithoutEraseCannotSetBits) {
  syncAndUnlock();
  ASSERT_EQ(nxp.Prepare(0, 0), aErrNone);
  ASSERT_EQ(nxp.Erase(0, 0), aErrNone);
  std::vector<uint8_t> first(256, 0x0F), second(256, 0xF0);
  ASSERT_EQ(program(0, first), aErrNone);
  ASSERT_EQ(program(0, second), aErrNone);
  EXPECT_EQ(flash(0, 256), std::vector<uint8_t>(256, 0x00));
}

TEST_F(LpcStandIn, SilentChipFailsSyncWithNotReady) {
  chip->control("silent 1");
  EXPECT_EQ(nxp.Sync(), aErrNotReady);
}

TEST_F(LpcStandIn, RefusedSyncFailsAndIdentifyGetsNoAnswer) {
  chip->control("refuse_sync 1");
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(nxp.Sync(), aErrNotReady);
  EXPECT_NE(log.text().find("Did not receive correct response to opening sync command: [aErrNotReady]"),
            std::string::npos);
  EXPECT_NE(nxp.GetDeviceID(), aErrNone);
}

TEST_F(LpcStandIn, ExecuteFromStartsTheChip) {
  syncAndUnlock();
  EXPECT_EQ(nxp.ExecuteFrom(0), aErrNone);
  EXPECT_NE(chip->control("state").find("\"go\": 0"), std::string::npos);
}
