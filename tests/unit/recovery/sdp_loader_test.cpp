// The serial download protocol loader over a recording transport: command
// bytes, data report splitting, status words and the refusals.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "LogCapture.h"
#include "recovery/SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records every report; answers reads from a queue of replies and takes
// status words from the 4 bytes after a 4-byte HAB word, like a serial line.
struct RecordingTransport : SDPLoader_Interface {
  struct Shared {
    std::vector<Bytes> written;
    std::deque<Bytes> replies;      // one entry per readData call with a time-out
    std::deque<Bytes> earlyReplies; // answers to the 0 ms polls during a transfer
    std::vector<unsigned> timeouts;
    bool initResult = true;
    bool destroyed = false;
  };
  explicit RecordingTransport(Shared& s) : shared(s) {}
  ~RecordingTransport() override { shared.destroyed = true; }
  bool init() override { return shared.initResult; }
  int writeData(const Bytes& data) override {
    shared.written.push_back(data);
    return static_cast<int>(data.size());
  }
  int readData(Bytes& data, unsigned timeoutMs) override {
    shared.timeouts.push_back(timeoutMs);
    std::deque<Bytes>& queue = timeoutMs == 0 ? shared.earlyReplies : shared.replies;
    if (queue.empty()) return 0;
    Bytes next = queue.front();
    queue.pop_front();
    data.insert(data.end(), next.begin(), next.end());
    return static_cast<int>(next.size());
  }
  bool getDataFromBuffer(const Bytes& reply, unsigned index, uint32_t& value) override {
    if (reply.size() < (index + 2) * 4) return false;
    value = reply[index + 4] | reply[index + 5] << 8 | reply[index + 6] << 16 | static_cast<uint32_t>(reply[index + 7]) << 24;
    return true;
  }
  Shared& shared;
};

Bytes word(uint32_t hab, uint32_t status) {
  Bytes out;
  for (uint32_t w : {hab, status})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return out;
}

const Bytes kAck = word(0x56787856, SDPLoader::STATUS_ACK);
const Bytes kDone = word(0x56787856, SDPLoader::STATUS_WRITE_COMPLETE);

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loader.setLoader(std::make_unique<RecordingTransport>(shared))); }
  // Data reports written (id 2), in order.
  std::vector<Bytes> dataReports() const {
    std::vector<Bytes> out;
    for (const Bytes& b : shared.written)
      if (!b.empty() && b[0] == 2) out.push_back(b);
    return out;
  }
  RecordingTransport::Shared shared;
  SDPLoader loader;
};

}  // namespace

TEST(SDPCommand, WriteFileBytes) {
  Bytes command;
  SDPLoader::buildCommand(command, SDPLoader::WRITE_FILE, 0x20000000, 0x20, 0x1234);
  EXPECT_EQ(command, (Bytes{0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x12, 0x34, 0, 0, 0, 0, 0}));
}

TEST(SDPCommand, OtherCommandsAndClearing) {
  Bytes command(40, 0xEE);
  SDPLoader::buildCommand(command, SDPLoader::JUMP_ADDRESS, 0x20000400, 0, 0);
  EXPECT_EQ(command, (Bytes{1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  SDPLoader::buildCommand(command, SDPLoader::READ_REGISTER, 0x401F4410, 0x20, 4);
  EXPECT_EQ(command, (Bytes{1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
  SDPLoader::buildCommand(command, SDPLoader::ERROR_STATUS, 0, 0, 0);
  EXPECT_EQ(command, (Bytes{1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SDPTransportSlot, NoTransportThenOneThenNoSecond) {
  SDPLoader loader;
  EXPECT_EQ(loader.init(), 1);
  std::vector<uint8_t> image(8);
  EXPECT_EQ(loader.writeLoader(image, 0x20000000), 2);
  uint64_t fp = 0;
  EXPECT_EQ(loader.getFingerprint(fp), 2);
  loader.startLoader(0x20000400);  // nothing to send it through; no crash
  std::unique_ptr<SDPLoader_Interface> none;
  EXPECT_FALSE(loader.setLoader(std::move(none)));
  RecordingTransport::Shared first, second;
  EXPECT_TRUE(loader.setLoader(std::make_unique<RecordingTransport>(first)));
  std::unique_ptr<SDPLoader_Interface> another = std::make_unique<RecordingTransport>(second);
  EXPECT_FALSE(loader.setLoader(std::move(another)));
  EXPECT_NE(another, nullptr) << "a refused transport stays with the caller";
  EXPECT_EQ(loader.init(), 0);
  first.initResult = false;
  EXPECT_EQ(loader.init(), 6);
}

TEST(SDPTransportSlot, TheLoaderDestroysItsTransport) {
  RecordingTransport::Shared shared;
  {
    SDPLoader loader;
    loader.setLoader(std::make_unique<RecordingTransport>(shared));
  }
  EXPECT_TRUE(shared.destroyed);
}

TEST_F(Loader, ImageOf1024BytesGoesInOneReportOf1025) {
  shared.replies = {kAck, kDone};
  Bytes image(1024, 0x5A);
  EXPECT_EQ(loader.writeLoader(image, 0x20000400), 0);
  std::vector<Bytes> data = dataReports();
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].size(), 1025u);
  EXPECT_EQ(Bytes(data[0].begin() + 1, data[0].end()), image);
}

TEST_F(Loader, ImageOf1025BytesGoesInTwoReports) {
  shared.replies = {kAck, kDone};
  Bytes image(1025);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(loader.writeLoader(image, 0x20000400), 0);
  std::vector<Bytes> data = dataReports();
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].size(), 1025u);
  EXPECT_EQ(data[1], (Bytes{2, image[1024]}));
}

TEST_F(Loader, SequenceIsStatusThenWriteFileThenData) {
  shared.replies = {kAck, kDone};
  EXPECT_EQ(loader.writeLoader(Bytes(10, 1), 0x20000000), 0);
  ASSERT_EQ(shared.written.size(), 3u);
  EXPECT_EQ(shared.written[0][2], 0x05);
  Bytes writeFile;
  SDPLoader::buildCommand(writeFile, SDPLoader::WRITE_FILE, 0x20000000, 0x20, 10);
  EXPECT_EQ(shared.written[1], writeFile);
  // One poll before the only piece, one read of the completion.
  EXPECT_EQ(shared.timeouts, (std::vector<unsigned>{100, 0, 100}));
}

TEST_F(Loader, DeviceNotAnsweringGivesTwoAfterFiveAttempts) {
  LogCapture log(DEBUG_iMXSerial);
  EXPECT_EQ(loader.writeLoader(Bytes(8), 0x20000000), 2);
  EXPECT_EQ(shared.written.size(), 5u);
  EXPECT_NE(log.text().find("Error: No ack from iMX device\n"), std::string::npos);
}

TEST_F(Loader, AnswerOnTheFifthAttemptIsEnough) {
  shared.replies = {{}, {}, {}, {}, kAck, kDone};
  EXPECT_EQ(loader.writeLoader(Bytes(8), 0x20000000), 0);
}

TEST_F(Loader, DeviceTalkingDuringTheTransferAborts) {
  shared.replies = {kAck};
  shared.earlyReplies = {{}, kAck};  // silent before piece 0, talks before piece 1
  LogCapture log(DEBUG_iMXSerial);
  EXPECT_EQ(loader.writeLoader(Bytes(3000), 0x20000000), 3);
  EXPECT_EQ(dataReports().size(), 1u);
  EXPECT_NE(log.text().find("Error while transfering loader. Aborting\n"), std::string::npos);
}

TEST_F(Loader, AnyOtherCompletionWordGivesFour) {
  shared.replies = {kAck, word(0x56787856, 0x12345678)};
  LogCapture log(DEBUG_iMXSerial);
  EXPECT_EQ(loader.writeLoader(Bytes(8), 0x20000000), 4);
  EXPECT_NE(log.text().find("Loader Transfer Unsuccessful\n"), std::string::npos);
}

TEST_F(Loader, NoCompletionAtAllGivesFour) {
  shared.replies = {kAck};
  EXPECT_EQ(loader.writeLoader(Bytes(8), 0x20000000), 4);
}

TEST_F(Loader, TransferLogLines) {
  shared.replies = {kAck, kDone};
  LogCapture log(DEBUG_iMXSerial);
  EXPECT_EQ(loader.writeLoader(Bytes(1500), 0x20000000), 0);
  std::string text = log.text();
  EXPECT_NE(text.find("Write Res: 17\n"), std::string::npos);
  EXPECT_NE(text.find("Write Res: 1025 , Total: 1025, Loop: 0, tell: 1024, size: 1025\n"), std::string::npos);
  EXPECT_NE(text.find("Write Res: 477 , Total: 1502, Loop: 1, tell: 1500, size: 477\n"), std::string::npos);
  EXPECT_NE(text.find("Written Bytes: 1502\n"), std::string::npos);
  EXPECT_NE(text.find("Data Read: \n56 78 78 56 88 88 88 88 \n"), std::string::npos);
  EXPECT_NE(text.find("Loader Transfer Successful\n"), std::string::npos);
}

TEST_F(Loader, StartLoaderJumpsAndReadsOnce) {
  loader.startLoader(0x20000400);
  ASSERT_EQ(shared.written.size(), 1u);
  Bytes jump;
  SDPLoader::buildCommand(jump, SDPLoader::JUMP_ADDRESS, 0x20000400, 0, 0);
  EXPECT_EQ(shared.written[0], jump);
  EXPECT_EQ(shared.timeouts, (std::vector<unsigned>{100}));
}

TEST_F(Loader, FingerprintFromTwoFuseRegisters) {
  shared.replies = {kAck, word(0x56787856, 0x11223344), word(0x56787856, 0xAABBCCDD)};
  uint64_t fp = 0;
  EXPECT_EQ(loader.getFingerprint(fp), 0);
  EXPECT_EQ(fp, 0xAABBCCDD11223344ull);
  ASSERT_EQ(shared.written.size(), 3u);
  EXPECT_EQ(Bytes(shared.written[1].begin() + 3, shared.written[1].begin() + 7), (Bytes{0x40, 0x1F, 0x44, 0x10}));
  EXPECT_EQ(Bytes(shared.written[2].begin() + 3, shared.written[2].begin() + 7), (Bytes{0x40, 0x1F, 0x44, 0x20}));
}

TEST_F(Loader, FingerprintRegisterWithoutValueGivesSeven) {
  shared.replies = {kAck, word(0x56787856, 0x11223344)};
  uint64_t fp = 0;
  EXPECT_EQ(loader.getFingerprint(fp), 7);
}
