#include "app/Console.h"
#include "link/core/aDefs.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* linkTypeLabel(linkType type) {
  switch (type) {
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

void displayDevice(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  if (spec.type == linkTypeTCPIP) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
    char address[24];
    snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
    display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", spec.serialNumber,
                    spec.moduleAddress, spec.routerAddress, device.model_name.c_str(), device.major, device.minor,
                    static_cast<int>(device.patch), device.build, address, device.device_name.c_str());
  } else if (device.error != aErrNone) {
    display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                    static_cast<int>(device.error));
  } else {
    display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serialNumber,
                    spec.moduleAddress, spec.routerAddress, device.model_name.c_str(), device.major, device.minor,
                    static_cast<int>(device.patch), device.build, device.device_name.c_str());
  }
}

}  // namespace

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, unsigned serial) {
  if (builds.empty()) {
    display.message(INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(INFO, "Build List for device [%08X]:\n", serial);
  display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const BuildEntry& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
    display.message(INFO, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
  }
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp) {
  display.message(INFO, "[ %08X %08X %08X %08X ]", fp.words[0], fp.words[1], fp.words[2], fp.words[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type) {
  display.message(INFO, "Discovered Devices: (%s)", linkTypeLabel(type));
  if (devices.empty()) {
    display.message(INFO, "    No devices found.");
    return;
  }
  if (type == linkTypeUSB) {
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  } else {
    display.message(INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                    "Device Name");
  }
  for (const DeviceInfo& device : devices) displayDevice(display, device);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
  display.message(INFO, "%s", token.c_str());
}
