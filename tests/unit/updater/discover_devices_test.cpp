// Discover_Devices with both transports: the emulated USB module first, then
// the module that answers TCP/IP discovery on the test network.
#include <gtest/gtest.h>

#include "tests/unit/usb_bridge/bridge_harness.h"

#include <stdlib.h>

#include <string>

#include "link/core/tvusb.h"
#include "tests/unit/link_engine/standin.h"
#include "tests/unit/updater/quiet_display.h"
#include "updater/Updater.h"

namespace {

TEST(DiscoverDevices, UsbModulesFirstThenTcpip) {
  ASSERT_TRUE(bridgetest::kPreloaded);
  StandIn usbModule({"--serial", "0x40F5849A", "--model", "0x11"});
  StandIn networkModule({"--serial", "0x40F50011", "--model", "0x05", "--host", "0.0.0.0", "--discovery"});
  bridgetest::Bridge bridge;
  ASSERT_EQ(bridge.send("add 40F5849A 0011 127.0.0.1 " + std::to_string(usbModule.tcpPort()) + " 512").rfind("ok", 0),
            0u);
  char scratch[] = "/tmp/tv-discover-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  QuietDisplay display;
  Updater updater("http://127.0.0.1:9/cgi/u", scratch, display);
  std::vector<DeviceInfo> devices = updater.Discover_Devices(0);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].spec.type, static_cast<uint32_t>(linkTypeUSB));
  EXPECT_EQ(devices[0].spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(devices[0].model_name, "IOAnalog");
  EXPECT_EQ(devices[1].spec.type, static_cast<uint32_t>(linkTypeTCPIP));
  EXPECT_EQ(devices[1].spec.serialNumber, 0x40F50011u);
  for (const DeviceInfo& device : devices) {
    EXPECT_EQ(device.error, aErrNone);
    EXPECT_EQ(device.build, 1100u);
    EXPECT_EQ(device.device_name, "Tolvarine module");
  }
  Tolvarine_libusb_exit();
  rmdir(scratch);
}

}  // namespace
