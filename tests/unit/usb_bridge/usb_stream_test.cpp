// The tool's own USB device layer (tvusb) over an emulated module: write
// chunking to the endpoint's packet size, a stalled endpoint cleared, and the
// error tolerance that fails the device for good after five errors in a row.
#include <gtest/gtest.h>

#include "bridge_harness.h"

#include <string>
#include <vector>

#include "link/core/tvusb.h"

namespace {

using namespace bridgetest;

constexpr uint32_t kSerial = 0x40F5849A;

class UsbStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kPreloaded);
    ASSERT_EQ(bridge.send("add 40F5849A 0011 127.0.0.1 " + std::to_string(peer.port) + " 512").rfind("ok", 0), 0u);
    ASSERT_EQ(tvusb_create_usb(kSerial, tvusbMODE_LIBUSB, &device), aErrNone);
    ASSERT_EQ(tvusb_open_tolvarine_device(device), aErrNone);
    ASSERT_EQ(device->state, tvusbStateReady);
  }
  void TearDown() override {
    if (device != nullptr) {
      tvusb_close(device);
      tvusb_destroy(&device);
    }
    Tolvarine_libusb_exit();
  }

  // Reads until `count` bytes came back from the echoing peer.
  std::string readBack(size_t count) {
    std::string out;
    for (int i = 0; i < 4000 && out.size() < count; ++i) {
      uint8_t byte = 0;
      if (tvusb_get(device, &byte) == aErrNone) out.push_back(static_cast<char>(byte));
    }
    return out;
  }

  EchoPeer peer;
  Bridge bridge;
  tvusb* device = nullptr;
};

TEST_F(UsbStream, WritesAreCutBelowTheEndpointPacketSize) {
  ASSERT_EQ(device->maxOutPacket, 512);
  std::string data(1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  ASSERT_EQ(tvusb_write(device, reinterpret_cast<const uint8_t*>(data.data()), 1024), aErrNone);
  EXPECT_EQ(bridge.send("outs 40F5849A"), "ok 511 511 2");
  EXPECT_EQ(readBack(1024), data);
}

TEST_F(UsbStream, StalledEndpointIsClearedAndTheBytesGoThrough) {
  ASSERT_EQ(bridge.send("stall 40F5849A out"), "ok");
  const std::string data = "after the stall";
  ASSERT_EQ(tvusb_write(device, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size())),
            aErrNone);
  EXPECT_EQ(readBack(data.size()), data);
  EXPECT_EQ(device->state, tvusbStateReady);
}

TEST_F(UsbStream, FourErrorsInARowAreToleratedTheFifthIsFinal) {
  ASSERT_EQ(bridge.send("fail 40F5849A 4"), "ok");
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tvusb_get(device, &byte), aErrNotReady);
  const std::string data = "still alive";
  ASSERT_EQ(tvusb_write(device, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size())),
            aErrNone);
  EXPECT_EQ(readBack(data.size()), data);
  // Failed OUT transfers are sent again, each byte once.
  ASSERT_EQ(bridge.send("fail 40F5849A 4 out"), "ok");
  ASSERT_EQ(tvusb_write(device, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size())),
            aErrNone);
  EXPECT_EQ(readBack(data.size()), data);

  ASSERT_EQ(bridge.send("fail 40F5849A 5"), "ok");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tvusb_get(device, &byte), aErrNotReady);
  EXPECT_EQ(tvusb_get(device, &byte), aErrIO);
  EXPECT_EQ(device->state, tvusbStateFailed);
  // The bus works again, the device stays failed.
  EXPECT_EQ(tvusb_get(device, &byte), aErrIO);
  EXPECT_EQ(tvusb_write(device, reinterpret_cast<const uint8_t*>(data.data()), 1), aErrIO);
}

}  // namespace
