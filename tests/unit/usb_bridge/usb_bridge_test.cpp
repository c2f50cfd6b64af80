// The USB bridge as libusb sees it: enumeration from sysfs, string
// descriptors, claiming, bulk transfers carried to a TCP peer, time-outs,
// stalls, transfer errors and re-enumeration.
#include <gtest/gtest.h>

#include "bridge_harness.h"

#include <arpa/inet.h>
#include <libusb-1.0/libusb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <vector>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace bridgetest;

class UsbBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kPreloaded);
    ASSERT_EQ(bridge.send("add 40F5849A 0005 127.0.0.1 " + std::to_string(peer.port) + " 512").rfind("ok", 0), 0u);
    ASSERT_EQ(libusb_init(&context), 0);
  }
  void TearDown() override {
    if (handle != nullptr) libusb_close(handle);
    libusb_exit(context);
  }

  // Opens the first device of the family's vendor; returns its product ID.
  int openModule() {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    int product = -1;
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
      libusb_device_descriptor descriptor;
      libusb_get_device_descriptor(list[i], &descriptor);
      if (descriptor.idVendor != 0x7A5C) continue;
      if (libusb_open(list[i], &handle) == 0) product = descriptor.idProduct;
      serialIndex = descriptor.iSerialNumber;
    }
    libusb_free_device_list(list, 1);
    return product;
  }

  int transfer(uint8_t endpoint, std::string& data, unsigned timeout) {
    int moved = 0;
    int result = libusb_bulk_transfer(handle, endpoint, reinterpret_cast<unsigned char*>(data.data()),
                                      static_cast<int>(data.size()), &moved, timeout);
    data.resize(static_cast<size_t>(moved));
    return result;
  }

  EchoPeer peer;
  Bridge bridge;
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  uint8_t serialIndex = 0;
};

TEST_F(UsbBridge, EnumeratesWithDescriptorsAndSerialString) {
  ASSERT_EQ(openModule(), 0x0005);
  unsigned char serial[64] = {};
  EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, serialIndex, serial, sizeof serial), 8);
  EXPECT_STREQ(reinterpret_cast<char*>(serial), "40F5849A");
  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle), &config), 0);
  const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
  EXPECT_EQ(alt.bInterfaceClass, 0xFF);
  EXPECT_EQ(alt.bInterfaceSubClass, 0x88);
  EXPECT_EQ(alt.bInterfaceProtocol, 0x10);
  ASSERT_EQ(alt.bNumEndpoints, 2);
  EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
  EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, 512);
  libusb_free_config_descriptor(config);
}

TEST_F(UsbBridge, BulkBytesReachThePeerAndComeBack) {
  ASSERT_GE(openModule(), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  std::string out = "\x04\x02\x17\x01";
  ASSERT_EQ(transfer(0x02, out, 50), 0);
  std::string in(1024, '\0');
  ASSERT_EQ(transfer(0x81, in, 1000), 0);
  EXPECT_EQ(in, "\x04\x02\x17\x01");
  std::string nothing(1024, '\0');
  EXPECT_EQ(transfer(0x81, nothing, 200), LIBUSB_ERROR_TIMEOUT);
  EXPECT_TRUE(nothing.empty());
}

// Two open files of one node, as two processes have them: the interface is
// held by one at a time, and bulk data goes only to the one holding it.
TEST_F(UsbBridge, OneOpenFileAtATimeHoldsTheInterface) {
  ASSERT_GE(openModule(), 0);
  libusb_device_handle* first = std::exchange(handle, nullptr);
  ASSERT_GE(openModule(), 0);
  ASSERT_EQ(libusb_claim_interface(first, 0), 0);
  EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
  std::string refused = "\x04\x02\x17\x01";
  EXPECT_NE(transfer(0x02, refused, 50), 0);

  // The first lets go of the interface and closes: the second may take it
  // once the bridge has seen the release.
  libusb_release_interface(first, 0);
  libusb_close(first);
  int claimed = LIBUSB_ERROR_BUSY;
  for (int i = 0; i < 100 && claimed == LIBUSB_ERROR_BUSY; ++i) {
    claimed = libusb_claim_interface(handle, 0);
    if (claimed == LIBUSB_ERROR_BUSY) usleep(10000);
  }
  ASSERT_EQ(claimed, 0);
  std::string out = "\x04\x02\x17\x02";
  ASSERT_EQ(transfer(0x02, out, 50), 0);
  std::string in(1024, '\0');
  ASSERT_EQ(transfer(0x81, in, 1000), 0);
  EXPECT_EQ(in, "\x04\x02\x17\x02");
}

TEST_F(UsbBridge, StallUntilClearedAndTransferErrors) {
  ASSERT_GE(openModule(), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  ASSERT_EQ(bridge.send("stall 40F5849A out"), "ok");
  std::string out = "ab";
  EXPECT_EQ(transfer(0x02, out, 50), LIBUSB_ERROR_PIPE);
  out = "ab";
  EXPECT_EQ(transfer(0x02, out, 50), LIBUSB_ERROR_PIPE);
  ASSERT_EQ(libusb_clear_halt(handle, 0x02), 0);
  out = "ab";
  EXPECT_EQ(transfer(0x02, out, 50), 0);
  ASSERT_EQ(bridge.send("fail 40F5849A 2"), "ok");
  for (int i = 0; i < 2; ++i) {
    out = "cd";
    EXPECT_EQ(transfer(0x02, out, 50), LIBUSB_ERROR_IO);
  }
  out = "ef";
  EXPECT_EQ(transfer(0x02, out, 50), 0);
}

TEST_F(UsbBridge, PeerThatClosesReEnumeratesTheModule) {
  ASSERT_GE(openModule(), 0);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  peer.dropClient();
  std::string in(64, '\0');
  int result = LIBUSB_SUCCESS;
  for (int i = 0; i < 50 && result != LIBUSB_ERROR_NO_DEVICE; ++i) {
    in.assign(64, '\0');
    result = transfer(0x81, in, 100);
  }
  EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
  libusb_close(handle);
  handle = nullptr;
  for (int i = 0; i < 100 && peer.connections.load() < 2; ++i) usleep(20000);
  ASSERT_EQ(peer.connections.load(), 2);
  usleep(100000);
  ASSERT_EQ(openModule(), 0x0005);  // back under a new device number
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  std::string out = "hi";
  ASSERT_EQ(transfer(0x02, out, 50), 0);
  in.assign(64, '\0');
  ASSERT_EQ(transfer(0x81, in, 1000), 0);
  EXPECT_EQ(in, "hi");
}

TEST_F(UsbBridge, RemovedModuleIsGone) {
  ASSERT_EQ(bridge.send("remove 40F5849A"), "ok");
  EXPECT_EQ(openModule(), -1);
}

}  // namespace
