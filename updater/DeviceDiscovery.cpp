// Listing the modules reachable directly, and those on the I2C module network
// behind a router. Each module is connected once, queried and let go.
#include <string.h>

#include <utility>

#include "app/Log.h"
#include "link/api/I2CClass.h"
#include "link/api/SystemClass.h"
#include "link/api/aDiscovery.h"
#include "link/core/aDefs.h"
#include "updater/Updater.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::I2CClass;
using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

namespace {

constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

void _query_direct_module(DeviceInfo& info, UpdaterDisplayInterface& display) {
  info.model_name = aDefs_GetModelName(info.spec.model);
  Module module(2, true, 0);
  if (_disableEther(module, display) != aErrNone) return;
  info.error = module.connectFromSpec(info.spec);
  if (info.error == aErrNone) {
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    if (info.error == aErrNone) info.error = _get_device_name(module, info);
  }
  module.disconnect();
}

}  // namespace

uint8_t _discovered_device(const linkSpec* spec, bool* success, void* ref) {
  auto* devices = static_cast<std::vector<DeviceInfo>*>(ref);
  DeviceInfo info;
  info.spec = *spec;
  devices->push_back(info);
  *success = true;
  return 1;
}

uint8_t _discovered_link(const linkSpec* spec, bool* success, void* ref) {
  auto* wanted = static_cast<std::pair<unsigned, linkType>*>(ref);
  *success = true;
  if (spec->serialNumber != wanted->first) return 1;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  wanted->second = spec->type;
  return 0;
}

linkType _discover_link_type(unsigned serial) {
  std::pair<unsigned, linkType> wanted{serial, 0};
  aDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &wanted, kLoopbackInterface);
  if (wanted.second == 0) aDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &wanted, kLoopbackInterface);
  return wanted.second;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<linkType> types;
  if (type == 0) {
    types = {linkTypeUSB, linkTypeTCPIP};
  } else {
    types = {type};
  }
  std::vector<DeviceInfo> devices;
  for (linkType each : types) aDiscovery_EnumerateModules(each, _discovered_device, &devices, kLoopbackInterface);
  for (DeviceInfo& info : devices) _query_direct_module(info, display);
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_TVNetwork_Devices(unsigned router_serial, linkType type) {
  if (type == 0) type = _discover_link_type(router_serial);
  linkSpec* found = aDiscovery_FindModule(type, router_serial, kLoopbackInterface);
  if (found == nullptr) return {};
  const linkSpec router_spec = *found;
  aLinkSpec_Destroy(&found);

  Log::log(DEBUG_Updater, "Found Link Module\n");
  Module router(2, true, 0);
  _disableEther(router, display);
  aErr err = router.connectFromSpec(router_spec);
  if (err != aErrNone) {
    display.message(ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
    return {};
  }
  SystemClass router_system;
  router_system.init(&router, 0);
  if ((err = router_system.routeToMe(1)) != aErrNone) {
    display.message(ERROR, "Error %d on route to me", static_cast<int>(err));
    router.disconnect();
    return {};
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(3);

  std::vector<DeviceInfo> devices;
  const uint8_t router_address = router.getModuleAddress();
  for (unsigned address = 2; address <= 252; address += 2) {
    if (address == router_address) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0x00, 0x00};
    if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(static_cast<uint8_t>(address), false, 0);
    _disableEther(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone) continue;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
      module.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.routerAddress = router_address;
    info.spec.routerSerialNumber = router_serial;
    memcpy(info.spec.transport, router_spec.transport, sizeof info.spec.transport);
    info.network_address = address;
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    uint8_t model = 0;
    aErr model_err = system.getModel(&model);
    if (model_err != aErrNone) {
      info.error = model_err;
    } else {
      info.spec.model = model;
      info.model_name = aDefs_GetModelName(model);
    }
    module.disconnect();
    devices.push_back(info);
  }
  router_system.routeToMe(0);
  router.disconnect();
  return devices;
}
