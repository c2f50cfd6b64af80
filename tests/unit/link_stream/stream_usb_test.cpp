#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "link/core/aStream.h"
#include "link/core/tvusb.h"

namespace {

// A fake libusb transfer layer: answers each bulk transfer from a script
// and records the OUT chunk sizes.
struct FakeBus {
  std::deque<int> statuses;      // next transfer results (success when empty)
  std::deque<std::string> reads; // bytes for successful IN transfers
  std::vector<int> outChunks;
  int halts = 0;
};
FakeBus* gBus = nullptr;

int fakeBulk(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* transferred,
             unsigned int) {
  int status = LIBUSB_SUCCESS;
  if (!gBus->statuses.empty()) {
    status = gBus->statuses.front();
    gBus->statuses.pop_front();
  }
  *transferred = 0;
  if (status != LIBUSB_SUCCESS) return status;
  if (endpoint & 0x80) {
    if (gBus->reads.empty()) return LIBUSB_ERROR_TIMEOUT;
    std::string chunk = gBus->reads.front();
    gBus->reads.pop_front();
    int n = std::min<int>(length, static_cast<int>(chunk.size()));
    std::copy(chunk.begin(), chunk.begin() + n, data);
    *transferred = n;
  } else {
    gBus->outChunks.push_back(length);
    *transferred = length;
  }
  return LIBUSB_SUCCESS;
}

bool gClearHaltFails = false;

int fakeClearHalt(libusb_device_handle*, unsigned char) {
  ++gBus->halts;
  return gClearHaltFails ? LIBUSB_ERROR_IO : 0;
}

const tvusbTransferOps kFakeOps = {fakeBulk, fakeClearHalt};

class UsbRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    gBus = &bus;
    device.mode = tvusbMODE_LIBUSB;
    device.state = tvusbStateReady;
    device.inEndpoint = 0x81;
    device.outEndpoint = 0x02;
    device.maxInPacket = device.maxOutPacket = 512;
    device.ops = &kFakeOps;
  }
  void TearDown() override { gBus = nullptr; }
  FakeBus bus;
  tvusb device{};
};

TEST_F(UsbRecord, WriteChunksAvoidExactly512Bytes) {
  std::vector<uint8_t> data(1024, 0x5A);
  ASSERT_EQ(tvusb_write_to_USBlib_device(&device, data.data(), 1024), aErrNone);
  EXPECT_EQ(bus.outChunks, (std::vector<int>{511, 511, 2}));
}

TEST_F(UsbRecord, WriteChunksFollowSmallerEndpoints) {
  device.maxOutPacket = 64;
  std::vector<uint8_t> data(130, 1);
  ASSERT_EQ(tvusb_write_to_USBlib_device(&device, data.data(), 130), aErrNone);
  EXPECT_EQ(bus.outChunks, (std::vector<int>{64, 64, 2}));
}

TEST_F(UsbRecord, StalledWriteIsClearedAndRetried) {
  bus.statuses = {LIBUSB_ERROR_PIPE};
  uint8_t data[10] = {0};
  ASSERT_EQ(tvusb_write_to_USBlib_device(&device, data, 10), aErrNone);
  EXPECT_EQ(bus.halts, 1);
  EXPECT_EQ(bus.outChunks, (std::vector<int>{10}));
}

TEST_F(UsbRecord, WriteGivesUpAfterTenFailedAttempts) {
  bus.statuses.assign(10, LIBUSB_ERROR_TIMEOUT);
  uint8_t data[10] = {0};
  EXPECT_EQ(tvusb_write_to_USBlib_device(&device, data, 10), aErrWrite);
  EXPECT_TRUE(bus.outChunks.empty());
  EXPECT_EQ(device.state, tvusbStateReady);  // a write error is not an I/O error
}

TEST_F(UsbRecord, FourIOErrorsDeliverNothingTheFifthFailsForGood) {
  bus.statuses.assign(5, LIBUSB_ERROR_IO);
  uint8_t byte = 0x5A;
  // A tolerated error is "not ready": no byte is handed out as received.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady) << i;
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrIO);
  EXPECT_EQ(device.state, tvusbStateFailed);
  // Later calls fail without touching the bus, even though it would work now.
  bus.reads = {"x"};
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrIO);
  uint8_t data[2] = {0};
  EXPECT_EQ(tvusb_write_to_USBlib_device(&device, data, 2), aErrIO);
  EXPECT_TRUE(bus.outChunks.empty());
}

TEST_F(UsbRecord, FailedOutTransfersAreRetriedUnseenUntilTheFifthInARow) {
  uint8_t data[10] = {0};
  bus.statuses.assign(4, LIBUSB_ERROR_IO);
  ASSERT_EQ(tvusb_write_to_USBlib_device(&device, data, 10), aErrNone);
  EXPECT_EQ(bus.outChunks, (std::vector<int>{10}));
  EXPECT_EQ(device.state, tvusbStateReady);
  // A halt that will not clear counts as an I/O error too.
  bus.statuses = {LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE};
  gClearHaltFails = true;
  EXPECT_EQ(tvusb_write_to_USBlib_device(&device, data, 10), aErrIO);
  gClearHaltFails = false;
  EXPECT_EQ(device.state, tvusbStateFailed);
  EXPECT_EQ(bus.outChunks.size(), 1u);
}

TEST_F(UsbRecord, AnyOtherResultResetsTheErrorCount) {
  bus.statuses = {LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_SUCCESS,
                  LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO};
  bus.reads = {"k"};
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady);
  ASSERT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNone);
  EXPECT_EQ(byte, 'k');
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady);
  EXPECT_EQ(device.state, tvusbStateReady);
}

TEST_F(UsbRecord, OneTransferIsHandedOutByteByByte) {
  bus.reads = {"abc"};
  std::string got;
  uint8_t byte = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNone);
    got += static_cast<char>(byte);
  }
  EXPECT_EQ(got, "abc");
  // Nothing more: the bulk read times out empty, which is "not ready".
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady);
  bus.statuses = {LIBUSB_ERROR_PIPE};
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady);
  EXPECT_EQ(bus.halts, 1);
}

TEST_F(UsbRecord, StatesOtherThanReadyAnswerWithoutTransfers) {
  uint8_t byte = 0;
  device.state = tvusbStateClosed;
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrConnection);
  device.state = tvusbStateOpened;
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrNotReady);
  EXPECT_EQ(tvusb_write_to_USBlib_device(&device, &byte, 1), aErrNotReady);
  device.mode = tvusbMODE_KERNEL;
  EXPECT_EQ(tvusb_get_from_USBlib_device(&device, &byte), aErrMode);
}

TEST(UsbIdentify, OnlyTheFamilyVendorAndModuleProductIds) {
  libusb_device_descriptor d{};
  d.idVendor = 0x7A5C;
  d.idProduct = 0x0011;
  EXPECT_TRUE(is_tolvarine_device(&d));
  d.idProduct = 0x8001;
  EXPECT_FALSE(is_tolvarine_device(&d));
  d.idProduct = 0x0011;
  d.idVendor = 0x7A5D;
  EXPECT_FALSE(is_tolvarine_device(&d));
}

TEST(UsbStream, WithoutABusCreationAnswersNotFound) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x12345678, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  Tolvarine_libusb_exit();
  EXPECT_EQ(aStream_CreateUSB(0x12345678, &stream), aErrNotFound);
}

// The kernel driver node, pointed at a test directory: one byte per read,
// nothing pending is "not ready", writes go to the node.
TEST(UsbStream, KernelNodeIsPreferredWhenPresent) {
  std::string dir = std::string(::testing::TempDir()) + "/tvnode" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  std::string node = dir + "/tolvarine.0000ABCD";
  std::ofstream(node, std::ios::binary) << "abc";
  tvusb_SetNodeDirectory(dir.c_str());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
  uint8_t buffer[3];
  ASSERT_EQ(aStream_Read(stream, buffer, 3), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
  EXPECT_EQ(aStream_Read(stream, buffer, 1), aErrNotReady);
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("xyz"), 3), aErrNone);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  std::ifstream in(node, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  EXPECT_EQ(contents.str(), "abcxyz");
  // Another serial number has no node here and falls back to libusb.
  EXPECT_EQ(aStream_CreateUSB(0xABCE, &stream), aErrNotFound);
  tvusb_SetNodeDirectory(nullptr);
  EXPECT_STREQ(tvusb_GetNodeDirectory(), "/dev");
  unlink(node.c_str());
  rmdir(dir.c_str());
}

}  // namespace
