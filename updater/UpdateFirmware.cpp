// The -U command for a module that runs firmware: choose the package, connect
// directly or through a router, check, transfer loader and firmware, and
// record the transfer in the device's history only once it succeeded.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <stdexcept>
#include <string>

#include "app/Log.h"
#include "link/api/Link.h"
#include "link/core/aTime.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "updater/DecimalText.h"
#include "updater/DeviceLock.h"
#include "updater/LoaderReturn.h"
#include "updater/Updater.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr uint32_t kDepartureWaitMs = 1000;
// How long a loader may take to answer on a new connection (the restart
// plus five address queries, as long as it was ever given).
constexpr uint32_t kLoaderReturnMs = 6000;
constexpr uint32_t kLoaderRedialMs = 10;
constexpr int kAddressQueries = 5;

std::string _bird_name(unsigned build) { return std::to_string(build) + ".bird"; }

std::string _serial_name(unsigned serial) {
  char name[9];
  snprintf(name, sizeof name, "%08X", serial);
  return name;
}

std::string _local_time_text() {
  const time_t now = time(nullptr);
  char text[64] = {};
  if (ctime_r(&now, text) == nullptr) return {};
  std::string line(text);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// Over USB first; a module that is not on USB is tried over TCP/IP.
aErr _connect_by_serial(Module& module, unsigned serial) {
  aErr err = module.connect(linkTypeUSB, serial);
  if (err == aErrNotFound) err = module.connect(linkTypeTCPIP, serial);
  return err;
}

// Over TCP/IP the loader listens on the module's port once it runs: connect
// anew until it answers the module-address query (which reconnecting asks).
void _await_loader_connection(Module& target) {
  target.disconnect();
  const uint32_t started = aTime_GetMSTicks();
  while (target.reconnect() != aErrNone && aTime_GetMSTicks() - started < kLoaderReturnMs) {
    target.disconnect();
    aTime_MSSleep(kLoaderRedialMs);
  }
}

// A module confirms LOAD and only then restarts into its loader. Over USB
// wait until it has left the bus, or the next request would go to a device
// that is already gone; over TCP/IP the module closes its connection and
// its loader is reached on a new one. Routed links stay up and need neither.
void _await_loader_departure(Module& target) {
  linkSpec spec{};
  if (target.getLinkSpecifier(&spec) != aErrNone) return;
  if (spec.type != linkTypeUSB && spec.type != linkTypeTCPIP) return;
  const bool left = _await_link_drop(target, kDepartureWaitMs);
  if (spec.type != linkTypeTCPIP) return;
  if (left) {
    // Closed, reset or made anew by the stream: the loader is on a new connection.
    Log::log(DEBUG_Updater, "The module left its connection after LOAD.\n");
    _await_loader_connection(target);
    return;
  }
  // A loader that started in place keeps the connection: prove it hears us.
  Veltrane::Tolvarine::Link* link = target.getLink();
  uint8_t address = 0;
  for (int attempt = 0; link != nullptr && attempt < kAddressQueries; ++attempt) {
    if (link->getModuleAddress(&address) == aErrNone) break;
  }
}

// Records a transfer that succeeded. The module runs the new firmware
// whatever happens here, so a failure is reported and the update's outcome
// stands.
void _record_transfer(UpdaterDisplayInterface& display, UpdaterStore& store, UpdaterStoreItem& device, unsigned serial,
                      const std::string& bird_file) {
  std::string file = BuildPath(store.BasePath(), _serial_name(serial));
  std::string why;
  try {
    if (!device.IsValid()) device = store.AddDevice(serial);
    device.settings.Add("LATEST_TRANSFER", bird_file);
    device.settings.Add("LAST_TRANSFER_DATE", _local_time_text());
    const KeyValueStore::SaveResult saved = device.settings.Save();
    if (saved.ok()) return;
    file = device.settings.path;
    why = strerror(saved.error);
  } catch (const StoreDirectoryError& error) {
    file = error.path;
    why = strerror(error.error);
  } catch (const std::exception& error) {
    why = error.what();
  }
  display.message(ERROR, "Update done, but not recorded in %s: %s", file.c_str(), why.c_str());
}

}  // namespace

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                              unsigned router_serial, bool override) {
  if (serial == 0) {
    display.message(ERROR, "Update command must specify the specific device");
    return false;
  }
  last_update = UpdateOutcome{};
  last_update.serial = serial;
  DeviceLock lock(serial);
  if (!lock.Take(display)) return false;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, app_directory, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem device;
  store->FindDevice(serial, device);
  const uint32_t started = aTime_GetMSTicks();

  if (bird_file.empty()) {
    if (build == 0) {
      std::string server_build, version;
      if (UpdateServerRequest::QueryBuild(serial, server_build, version, server_url)) {
        std::optional<unsigned> number = _read_decimal(server_build);
        if (!number) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", server_build.c_str());
        build = number.value_or(0);
      }
      if (build != 0 && !(device.IsValid() && device.FileExists(_bird_name(build)))) {
        display.message(INFO, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        build = 0;
      }
    }
    if (build == 0 && device.IsValid()) {
      build = static_cast<unsigned>(device.settings.GetInt("LATEST_DOWNLOAD", 0));
      if (build != 0) display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0 && device.IsValid()) {
      build = static_cast<unsigned>(device.settings.GetInt("LATEST_TRANSFER", 0));
      if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
    }
    if (build == 0) {
      display.message(ERROR, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile package;
  try {
    package = load_bird("Updating", bird_file, serial, build, false);
  } catch (const std::runtime_error&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  last_update.build = build != 0 ? build : package.GetBuild();
  last_update.file = bird_file.empty() ? Package_Path(serial, build) : bird_file;
  if (package.hasSerialOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!package.ReplaceSerialNumber(serial)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module target(module_address, 0);
  aErr err = _disableEther(target, display);
  if (err == aErrNone && router_serial != 0) {
    if (module_address == 0) {
      std::vector<DeviceInfo> network = Discover_TVNetwork_Devices(router_serial, 0);
      if (network.empty()) {
        display.message(ERROR, "Unable to find modules on Network");
        return false;
      }
      uint32_t found = 0;
      for (const DeviceInfo& info : network) {
        if (info.spec.serialNumber == serial) found = info.network_address;
      }
      if (found == 0) {
        display.message(ERROR,
                        "Module address required for indirect firmware update, could not find serial number "
                        "[0x%08X] on network",
                        serial);
        return false;
      }
      target.setModuleAddress(static_cast<uint8_t>(found));
    }
    Module router(0, 0);
    _disableEther(router, display);
    if (_connect_by_serial(router, router_serial) != aErrNone) {
      display.message(ERROR, "Failed to connect to link module [%08X]", router_serial);
      return false;
    }
    err = target.connectThroughLinkModule(&router);
    if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
  } else if (err == aErrNone) {
    err = _connect_by_serial(target, serial);
    if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
  }

  if (err == aErrNone && !override && !_validate_birdfile(display, package, target, serial)) {
    display.message(ERROR, "Birdfile failed validation");
    return false;
  }
  const linkType transport = _direct_transport(target, router_serial);
  if (err == aErrNone) err = _transfer_loader(display, target, package);
  if (err == aErrNone && router_serial == 0) _await_loader_departure(target);
  if (err == aErrNone && !_await_loader_return(target, serial, transport)) {
    display.message(ERROR, "Device %08X did not come back after starting its loader", serial);
    return false;
  }
  if (err == aErrNone) err = _transfer_firmware(display, target, package, router_serial != 0, uei_bytes_load);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(err));
    return false;
  }
  // Written is not yet running: the history records only a verified build.
  last_update.verified =
      _verify_update(display, target, serial, router_serial != 0, package, last_update.running_build);
  if (!last_update.verified) return false;

  if (bird_file.empty()) bird_file = _bird_name(build);
  _record_transfer(display, *store, device, serial, bird_file);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  last_update.seconds = (aTime_GetMSTicks() - started) / 1000.0;
  display.message(INFO, "Update time: %.4f sec", last_update.seconds);
  return true;
}
