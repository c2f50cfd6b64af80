// HID_SDPLoader through the seam below hidapi: a table of stand-in calls
// that plays a processor in download mode report by report. No USB device
// is involved here.
#include <gtest/gtest.h>

#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// State of the stand-in hidapi; the calls are plain functions.
struct FakeHid {
  int inits = 0, exits = 0, closes = 0;
  std::vector<std::string> paths;   // devices "attached" with the ids asked for
  std::string opened;
  std::vector<Bytes> written;
  std::deque<Bytes> input;          // input reports, one per read
  std::vector<int> readTimeouts;
  // Called on each write; may queue input reports.
  void (*onWrite)(FakeHid&, const Bytes&) = nullptr;
  unsigned short vendor = 0, product = 0;
  std::vector<hid_device_info> infos;
};

FakeHid* gHid = nullptr;
hid_device* const kHandle = reinterpret_cast<hid_device*>(0x1234);

int fInit() { return ++gHid->inits, 0; }
int fExit() { return ++gHid->exits, 0; }
hid_device_info* fEnumerate(unsigned short vendor, unsigned short product) {
  gHid->vendor = vendor;
  gHid->product = product;
  gHid->infos.assign(gHid->paths.size(), hid_device_info{});
  for (size_t i = 0; i < gHid->paths.size(); ++i) {
    gHid->infos[i].path = gHid->paths[i].data();
    gHid->infos[i].next = i + 1 < gHid->paths.size() ? &gHid->infos[i + 1] : nullptr;
  }
  return gHid->infos.empty() ? nullptr : gHid->infos.data();
}
void fFree(hid_device_info*) {}
hid_device* fOpenPath(const char* path) {
  gHid->opened = path;
  return kHandle;
}
int fWrite(hid_device* device, const unsigned char* data, size_t length) {
  if (device != kHandle) return -1;
  gHid->written.emplace_back(data, data + length);
  if (gHid->onWrite) gHid->onWrite(*gHid, gHid->written.back());
  return static_cast<int>(length);
}
int fRead(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  if (device != kHandle) return -1;
  gHid->readTimeouts.push_back(milliseconds);
  if (gHid->input.empty()) return 0;
  Bytes next = gHid->input.front();
  gHid->input.pop_front();
  size_t n = next.size() < length ? next.size() : length;
  memcpy(data, next.data(), n);
  return static_cast<int>(n);
}
void fClose(hid_device*) { ++gHid->closes; }

const HidApi kFakeApi = {fInit, fExit, fEnumerate, fFree, fOpenPath, fWrite, fRead, fClose};

// What hidraw hands up for the processor's two input reports: report 3 is
// read as 65 bytes too (the buffer size), but only 5 of them count.
Bytes habReport() {
  Bytes r(65, 0);
  r[0] = 3;
  r[1] = 0x56, r[2] = 0x78, r[3] = 0x78, r[4] = 0x56;
  return r;
}
Bytes statusReport(uint32_t status) {
  Bytes r(65, 0);
  r[0] = 4;
  for (int i = 0; i < 4; ++i) r[1 + i] = static_cast<uint8_t>(status >> (8 * i));
  return r;
}

// A processor that acknowledges ERROR_STATUS and completes a WRITE_FILE
// once all its data reports have arrived.
size_t gDue = 0;
void processor(FakeHid& hid, const Bytes& report) {
  if (report[0] == 1 && report[1] == 0x05) {
    hid.input = {habReport(), statusReport(SDPLoader::STATUS_ACK)};
  } else if (report[0] == 1 && report[1] == 0x04) {
    gDue = static_cast<size_t>(report[8]) << 24 | report[9] << 16 | report[10] << 8 | report[11];
  } else if (report[0] == 2) {
    gDue -= report.size() - 1;
    if (gDue == 0) hid.input = {habReport(), statusReport(SDPLoader::STATUS_WRITE_COMPLETE)};
  }
}

class HidSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    gHid = &hid;
    hid.paths = {"/dev/hidraw3"};
  }
  void TearDown() override { gHid = nullptr; }
  FakeHid hid;
};

}  // namespace

TEST_F(HidSeam, InitOpensTheDeviceWithTheIdsAndLogsTheHandle) {
  LogCapture log(DEBUG_iMXSerial);
  {
    HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
    EXPECT_TRUE(transport.init());
    EXPECT_EQ(hid.vendor, 0x1FC9);
    EXPECT_EQ(hid.product, 0x0130);
    EXPECT_EQ(hid.opened, "/dev/hidraw3");
    EXPECT_NE(log.text().find("handle: 0x1234\n"), std::string::npos);
  }
  EXPECT_EQ(hid.closes, 1);
  EXPECT_EQ(hid.exits, 1);
}

TEST_F(HidSeam, NoDeviceMeansInitFails) {
  hid.paths.clear();
  HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
  EXPECT_FALSE(transport.init());
  EXPECT_EQ(transport.writeData(Bytes{1, 2}), -1);
}

TEST_F(HidSeam, SeveralDevicesTakeTheFirstEnumeratedAndNameTheOthers) {
  hid.paths = {"/dev/hidraw7", "/dev/hidraw2"};
  LogCapture log(DEBUG_iMXSerial);
  HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
  EXPECT_TRUE(transport.init());
  EXPECT_EQ(hid.opened, "/dev/hidraw7");
  EXPECT_NE(log.text().find("2 devices 1FC9:0130 in download mode, using [/dev/hidraw7]\n"), std::string::npos);
  EXPECT_NE(log.text().find("  found [/dev/hidraw2]\n"), std::string::npos);
}

TEST_F(HidSeam, WriteSendsTheWholeReportWithItsId) {
  HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
  ASSERT_TRUE(transport.init());
  Bytes command;
  SDPLoader::buildCommand(command, SDPLoader::ERROR_STATUS, 0, 0, 0);
  EXPECT_EQ(transport.writeData(command), 17);
  ASSERT_EQ(hid.written.size(), 1u);
  EXPECT_EQ(hid.written[0], command);
}

TEST_F(HidSeam, ReadCountsFiveBytesOfReportThreeAndAllOfOthers) {
  HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
  ASSERT_TRUE(transport.init());
  hid.input = {habReport(), statusReport(0x88888888)};
  Bytes reply;
  EXPECT_EQ(transport.readData(reply, 100), 70);
  ASSERT_EQ(reply.size(), 70u);
  EXPECT_EQ(reply[5], 4);
  EXPECT_EQ(hid.readTimeouts, (std::vector<int>{100, 100, 100}));
  uint32_t word = 0;
  ASSERT_TRUE(transport.getDataFromBuffer(reply, 0, word));
  EXPECT_EQ(word, 0x88888888u);
}

TEST_F(HidSeam, StatusWordNeedsExactlySeventyBytesAndASmallIndex) {
  HID_SDPLoader transport(0x1FC9, 0x0130, kFakeApi);
  Bytes reply(70, 0);
  reply[6] = 0x44, reply[7] = 0x33, reply[8] = 0x22, reply[9] = 0x11;
  reply[21] = 0xAB, reply[22] = 0xCD, reply[23] = 0xEF, reply[24] = 0x01;
  uint32_t word = 0;
  EXPECT_TRUE(transport.getDataFromBuffer(reply, 0, word));
  EXPECT_EQ(word, 0x11223344u);
  EXPECT_TRUE(transport.getDataFromBuffer(reply, 15, word));
  EXPECT_EQ(word, 0x01EFCDABu);
  EXPECT_FALSE(transport.getDataFromBuffer(reply, 16, word));
  EXPECT_FALSE(transport.getDataFromBuffer(Bytes(69, 0), 0, word));
  EXPECT_FALSE(transport.getDataFromBuffer(Bytes(71, 0), 0, word));
  EXPECT_FALSE(transport.getDataFromBuffer(Bytes(), 0, word));
}

TEST_F(HidSeam, LoaderWrittenThroughHidReports) {
  hid.onWrite = processor;
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(0x1FC9, 0x0130, kFakeApi)));
  ASSERT_EQ(loader.init(), 0);
  Bytes image(2500, 0x11);
  EXPECT_EQ(loader.writeLoader(image, 0x20000400), 0);
  // ERROR_STATUS, WRITE_FILE, three data reports of 1025, 1025 and 453 bytes.
  ASSERT_EQ(hid.written.size(), 5u);
  EXPECT_EQ(hid.written[2].size(), 1025u);
  EXPECT_EQ(hid.written[4].size(), 453u);
  EXPECT_EQ(hid.written[4][0], 2);
}

TEST_F(HidSeam, ReplyOfAnyOtherLengthThanSeventyIsUnsuccessful) {
  hid.onWrite = [](FakeHid& h, const Bytes& report) {
    processor(h, report);
    // The completion comes as a short report 4 (64 bytes instead of 65).
    if (report[0] == 2 && gDue == 0) {
      Bytes shortStatus = statusReport(0x88888888);
      shortStatus.pop_back();
      h.input = {habReport(), shortStatus};
    }
  };
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(0x1FC9, 0x0130, kFakeApi)));
  ASSERT_EQ(loader.init(), 0);
  EXPECT_EQ(loader.writeLoader(Bytes(100, 0x22), 0x20000400), 4);
}
