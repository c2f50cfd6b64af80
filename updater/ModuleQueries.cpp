// What discovery and the update flow ask a connected module: firmware build,
// version, addresses and name, and the link configuration for a plain link.
#include <string.h>

#include <functional>

#include "app/Log.h"
#include "link/api/Link.h"
#include "link/api/SystemClass.h"
#include "link/api/aEtherConfig.h"
#include "link/core/aTime.h"
#include "link/core/aVersion.h"
#include "link/core/tvusb.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Link;
using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

namespace {

constexpr uint32_t kDropPollMs = 5;
constexpr uint32_t kEnumerationRetryMs = 1000;
constexpr uint32_t kSettleLookMs = 20;
constexpr uint32_t kBuildReplyMs = 1000;

}  // namespace

bool _read_build_number(Module& module, uint32_t reply_ms, unsigned& build) {
  Link* link = module.getLink();
  if (link == nullptr) return false;
  const uint8_t address = module.getModuleAddress();
  const uint8_t request[1] = {0xFF};
  if (link->sendPacket(address, 0x49, sizeof request, request) != aErrNone) return false;
  uint8_t reply[28] = {0x49, 0xFF};
  uint8_t length = 2;
  if (link->receivePacket(address, reply, &length, reply, reply_ms) != aErrNone) return false;
  if (length != 6) return false;
  build = (unsigned{reply[2]} << 24) | (unsigned{reply[3]} << 16) | (unsigned{reply[4]} << 8) | reply[5];
  return true;
}

unsigned _get_build_number(Module& module) {
  unsigned build = 0;
  return _read_build_number(module, kBuildReplyMs, build) ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  aErr err = system.init(&module, 0);
  if (err != aErrNone) return err;
  uint32_t packed = 0;
  if ((err = system.getVersion(&packed)) != aErrNone) return err;
  info.major = aVersion_ParseMajor(packed);
  info.minor = aVersion_ParseMinor(packed);
  info.patch = aVersion_ParsePatch(packed);
  uint8_t address = 0;
  if ((err = system.getModule(&address)) != aErrNone) return err;
  info.spec.moduleAddress = address;
  if ((err = system.getRouter(&address)) != aErrNone) return err;
  info.spec.routerAddress = address;
  return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
  // Patches above 255 count as 255 rather than wrapping below 4.
  const uint8_t patch = static_cast<uint8_t>(info.patch > 255 ? 255 : info.patch);
  if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, 2, 10, 4)) {
    return aErrNone;
  }
  SystemClass system;
  aErr err = system.init(&module, 0);
  if (err != aErrNone) return err;
  uint8_t name[32] = {};
  uint32_t count = 0;
  err = system.getName(name, sizeof name, &count);
  if (err != aErrNone) return err;
  if (count > sizeof name) count = sizeof name;
  info.device_name.assign(reinterpret_cast<const char*>(name), count);
  // A name padded with zeros ends at the first of them.
  info.device_name.resize(strnlen(info.device_name.c_str(), info.device_name.size()));
  return aErrNone;
}

aErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
  aEtherConfig config;
  config.sharingEnabled = false;
  config.fallbackEnabled = false;
  config.localOnly = true;
  config.serverPort = 0;
  config.interfaceAddress = kLoopbackInterface;
  aErr err = module.setConfig(config);
  if (err != aErrNone) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return err;
}

bool _await_link_drop(Module& module, uint32_t ceiling_ms) {
  const uint32_t started = aTime_GetMSTicks();
  while (module.isConnected()) {
    if (aTime_GetMSTicks() - started >= ceiling_ms) return false;
    aTime_MSSleep(kDropPollMs);
  }
  return true;
}

bool _wait_for_next_usb_attempt(tvusbArrivals* arrivals, const std::function<bool()>& look) {
  const uint32_t started = aTime_GetMSTicks();
  bool arrived = false;
  for (uint32_t waited = 0; waited < kEnumerationRetryMs; waited = aTime_GetMSTicks() - started) {
    const uint32_t left = kEnumerationRetryMs - waited;
    // After an arrival the module is looked for again at short intervals
    // (it may not open at once), and the watch goes on between the looks:
    // the arrival may have been another module's, and ours may then show
    // only in sysfs.
    const bool heard = tvusb_arrivals_await(arrivals, arrived && left > kSettleLookMs ? kSettleLookMs : left);
    arrived = arrived || heard;
    if (arrived && look()) return true;
  }
  return false;
}

bool _await_usb_module(Module& module, unsigned serial) {
  // Watching from before the first attempt: a module that arrives while an
  // attempt runs is not missed.
  tvusbArrivals* arrivals = tvusb_arrivals_open();
  tvusb_arrivals_only(arrivals, serial);
  bool connected = false;
  for (unsigned attempt = 1; attempt <= 15 && !connected; ++attempt) {
    if (attempt % 3 == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Tolvarine_libusb_exit();
    }
    auto look = [&] {
      module.discoverAndConnect(linkTypeUSB, serial);
      return module.isConnected();
    };
    connected = look() || _wait_for_next_usb_attempt(arrivals, look);
    if (!connected) Log::log(DEBUG_APP, "Device %08X not found in USB attempt %u\n", serial, attempt);
  }
  tvusb_arrivals_close(&arrivals);
  return connected;
}
