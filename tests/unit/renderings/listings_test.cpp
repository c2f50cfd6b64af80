#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include "app/Console.h"

namespace {

class Lines : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { lines.push_back(text); }
  void error_message(const char* text) override { lines.push_back(std::string("E:") + text); }
  std::vector<std::string> lines;
};

DeviceInfo device(linkType type, uint32_t serial) {
  DeviceInfo info;
  info.spec.type = type;
  info.spec.serialNumber = serial;
  info.spec.moduleAddress = 2;
  info.spec.routerAddress = 4;
  info.model_name = "HubPro8";
  info.major = 2;
  info.minor = 10;
  info.patch = 4;
  info.build = 4321;
  info.device_name = "bench";
  return info;
}

TEST(DeviceList, EmptyAndLabels) {
  Lines out;
  _display_device_list(out, {}, linkTypeUSB);
  _display_device_list(out, {}, linkTypeTCPIP);
  _display_device_list(out, {}, 0);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found.",
                                                  "Discovered Devices: (TCPIP)", "    No devices found.",
                                                  "Discovered Devices: (Unknown)", "    No devices found."}));
}

TEST(DeviceList, UsbTcpAndErrorRows) {
  Lines out;
  DeviceInfo usb = device(linkTypeUSB, 0x40F5849A);
  DeviceInfo tcp = device(linkTypeTCPIP, 0x0012AB34);
  tcp.spec.ipAddress = inet_addr("198.18.0.7");
  DeviceInfo busy = device(linkTypeUSB, 0xD272031D);
  busy.error = aErrBusy;
  _display_device_list(out, {usb, tcp, busy}, linkTypeUSB);
  ASSERT_EQ(out.lines.size(), 5u);
  EXPECT_EQ(out.lines[1], "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  EXPECT_EQ(out.lines[2], "    40F5849A  02       04      HubPro8        2.10.4 (      4321)         bench");
  EXPECT_EQ(out.lines[3],
            "    0012AB34  02       04      HubPro8        2.10.4 (      4321)        [198.18.0.7]       bench");
  EXPECT_EQ(out.lines[4], "    D272031D  [Error (5): Is someone else connected to this device?]");
}

TEST(DeviceList, NetworkHeaderForOtherTypes) {
  Lines out;
  _display_device_list(out, {device(linkTypeTCPIP, 1)}, linkTypeTCPIP);
  EXPECT_EQ(out.lines[1],
            "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");
}

TEST(BuildListing, EmptyHeaderAndColumns) {
  Lines out;
  _display_builds(out, {}, 0x12AB);
  _display_builds(out, {{"100", "1.2.3"}, {"1234567890123456789", "10.20.30.40.50.60"}}, 0x12AB);
  ASSERT_EQ(out.lines.size(), 5u);
  EXPECT_EQ(out.lines[0], "No builds found for device [000012AB]");
  EXPECT_EQ(out.lines[1], "Build List for device [000012AB]:\n");
  EXPECT_EQ(out.lines[2], "Build          \tVersion        ");
  EXPECT_EQ(out.lines[3], "100            \t1.2.3          ");
  EXPECT_EQ(out.lines[4], "123456789012345\t10.20.30.40.50.");
}

TEST(OtherRenderings, FingerprintAndToken) {
  Lines out;
  Fingerprint fp;
  fp.words[0] = 0xDEADBEEF;
  fp.words[3] = 0x1;
  _display_fingerprint(out, fp);
  _display_jwt(out, "a.b.c");
  EXPECT_EQ(out.lines, (std::vector<std::string>{"[ DEADBEEF 00000000 00000000 00000001 ]", "a.b.c"}));
}

}  // namespace
