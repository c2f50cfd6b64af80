// The USB search over emulated modules: only the family's vendor ID, product
// IDs with bit 15 clear and serial-number strings of exactly 8 upper-case
// hexadecimal digits make a module.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/api/aDiscovery.h"
#include "link/core/tvusb.h"
#include "tests/unit/usb_bridge/bridge_harness.h"

namespace {

using namespace bridgetest;

struct Found {
  std::vector<linkSpec> specs;
  bool stop = false;
  static uint8_t Callback(const linkSpec* spec, bool* success, void* reference) {
    Found* self = static_cast<Found*>(reference);
    self->specs.push_back(*spec);
    *success = true;
    return self->stop ? 0 : 1;
  }
};

class UsbSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kPreloaded);
    add("40F5849A", "0011");
    add("0012AB34", "0005");
  }
  void TearDown() override { Tolvarine_libusb_exit(); }
  void add(const std::string& serial, const std::string& product) {
    ASSERT_EQ(bridge.send("add " + serial + " " + product + " 127.0.0.1 " + std::to_string(peer.port)).rfind("ok", 0),
              0u);
  }
  EchoPeer peer;
  Bridge bridge;
};

TEST_F(UsbSearch, ListsExactlyTheModulesWithTheirRecords) {
  add("8000ABCD", "8011");  // bit 15 of the product: not a module
  add("1234567", "0011");   // seven characters
  add("123456789", "0011");  // nine characters
  add("abcdef01", "0011");  // lower case: the USB stream could never open it
  Found found;
  uint32_t count = aDiscovery_EnumerateModules(linkTypeUSB, Found::Callback, &found, 0);
  std::vector<uint32_t> serials;
  for (const linkSpec& spec : found.specs) serials.push_back(spec.serialNumber);
  EXPECT_EQ(count, found.specs.size());
  EXPECT_NE(std::find(serials.begin(), serials.end(), 0x40F5849Au), serials.end());
  EXPECT_NE(std::find(serials.begin(), serials.end(), 0x0012AB34u), serials.end());
  EXPECT_EQ(std::find(serials.begin(), serials.end(), 0x8000ABCDu), serials.end());
  for (const linkSpec& spec : found.specs) {
    if (spec.serialNumber != 0x40F5849A) continue;
    EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeUSB));
    EXPECT_EQ(spec.model, 0x11u);
    EXPECT_EQ(spec.ipAddress, 0x40F5849Au);
    EXPECT_EQ(spec.moduleAddress, 0u);
    EXPECT_EQ(spec.routerAddress, 0u);
    EXPECT_EQ(spec.routerSerialNumber, 0u);
    EXPECT_EQ(spec.port, 0u);
  }
  // Neither the 7- nor the 9-character string makes a record.
  EXPECT_EQ(std::find(serials.begin(), serials.end(), 0x1234567u), serials.end());
  EXPECT_EQ(std::find(serials.begin(), serials.end(), 0x23456789u), serials.end());
  EXPECT_EQ(std::find(serials.begin(), serials.end(), 0x12345678u), serials.end());
  EXPECT_EQ(std::find(serials.begin(), serials.end(), 0xABCDEF01u), serials.end());
  EXPECT_EQ(found.specs.size(), 2u);
}

TEST_F(UsbSearch, CallbackThatStopsEndsTheSearchAfterTheFirst) {
  Found found;
  found.stop = true;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeUSB, Found::Callback, &found, 0), 1u);
  EXPECT_EQ(found.specs.size(), 1u);
}

TEST_F(UsbSearch, FindModuleBySerialNumber) {
  linkSpec* spec = aDiscovery_FindModule(linkTypeUSB, 0x0012AB34, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->model, 0x05u);
  aLinkSpec_Destroy(&spec);
  EXPECT_EQ(aDiscovery_FindModule(linkTypeUSB, 0x0BADF00D, 0), nullptr);
}

}  // namespace
