// The serial download loader over Serial_SDPLoader against the i.MX stand-in
// of sim/imx_sdp.py on a pty: a loader written into RAM and jumped to, the
// fingerprint fuses, and the fault switches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StandInProcess.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ImxStandIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { chip = new StandInProcess("sim/imx_sdp.py"); }
  static void TearDownTestSuite() {
    delete chip;
    chip = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(chip->running());
    chip->control("reset");
    chip->control("silent 0");
    chip->control("talk_during_transfer 0");
    chip->control("completion off");
    ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(chip->pty())));
    ASSERT_EQ(loader.init(), 0);
  }
  static Bytes image(size_t n) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    return data;
  }
  static StandInProcess* chip;
  SDPLoader loader;
};

StandInProcess* ImxStandIn::chip = nullptr;

}  // namespace

TEST_F(ImxStandIn, LoaderWrittenAndJumpedTo) {
  Bytes code = image(5000);
  EXPECT_EQ(loader.writeLoader(code, 0x20000400), 0);
  EXPECT_EQ(fromHex(chip->control("ram 0x20000400 5000")), code);
  loader.startLoader(0x20000400);
  EXPECT_NE(chip->control("state").find("\"jumped\": 536871936"), std::string::npos);
}

TEST_F(ImxStandIn, SeveralBlocksThenJump) {
  Bytes first = image(1024), second = image(1025);
  EXPECT_EQ(loader.writeLoader(first, 0x20200000), 0);
  EXPECT_EQ(loader.writeLoader(second, 0x20000000), 0);
  EXPECT_EQ(fromHex(chip->control("ram 0x20200000 1024")), first);
  EXPECT_EQ(fromHex(chip->control("ram 0x20000000 1025")), second);
  EXPECT_NE(chip->control("state").find("\"writes\": [[538968064, 1024], [536870912, 1025]]"), std::string::npos);
}

TEST_F(ImxStandIn, FingerprintFromTheFuses) {
  chip->control("fuse 0x401F4410 0xCAFEF00D");
  chip->control("fuse 0x401F4420 0x01234567");
  uint64_t fp = 0;
  EXPECT_EQ(loader.getFingerprint(fp), 0);
  EXPECT_EQ(fp, 0x01234567CAFEF00Dull);
}

TEST_F(ImxStandIn, SilentDeviceIsNotAnswering) {
  chip->control("silent 1");
  EXPECT_EQ(loader.writeLoader(image(64), 0x20000400), 2);
  uint64_t fp = 0;
  EXPECT_EQ(loader.getFingerprint(fp), 2);
}

TEST_F(ImxStandIn, TalkingDuringTheTransferAborts) {
  chip->control("talk_during_transfer 1");
  // Large enough that the client polls again after the device has spoken.
  EXPECT_EQ(loader.writeLoader(image(256 * 1024), 0x20200000), 3);
}

TEST_F(ImxStandIn, WrongCompletionWordIsUnsuccessful) {
  chip->control("completion 0x12345678");
  EXPECT_EQ(loader.writeLoader(image(3000), 0x20000400), 4);
}

TEST(SerialTransport, InitRefusesWhatIsNotATerminal) {
  Serial_SDPLoader missing("/nonexistent/tty");
  EXPECT_FALSE(missing.init());
  Serial_SDPLoader regular("/dev/null");
  EXPECT_FALSE(regular.init());
  EXPECT_EQ(regular.writeData(Bytes{1, 2, 3}), 0);
}

TEST(SerialTransport, StatusWordFollowsTheHabWord) {
  Serial_SDPLoader transport("/dev/null");
  Bytes reply = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
  uint32_t word = 0;
  ASSERT_TRUE(transport.getDataFromBuffer(reply, 0, word));
  EXPECT_EQ(word, 0x88888888u);
  EXPECT_FALSE(transport.getDataFromBuffer(Bytes(reply.begin(), reply.end() - 1), 0, word));
  EXPECT_FALSE(transport.getDataFromBuffer(reply, 1, word));  // needs 12 bytes
  EXPECT_FALSE(transport.getDataFromBuffer(Bytes(100, 0), 16, word));
  EXPECT_TRUE(transport.getDataFromBuffer(Bytes(68, 0), 15, word));
}
