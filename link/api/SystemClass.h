// The system entity (class 3) of a module: identity, version, addresses,
// power and temperature readings, name, and module-wide actions. Each
// operation is one UEI of its option code on the bound index.
#pragma once

#include <stdint.h>

#include "link/api/EntityClass.h"

namespace Veltrane::Tolvarine {

class SystemClass : public EntityClass {
 public:
  static constexpr uint8_t cmdSYSTEM = 3;

  SystemClass() = default;
  ~SystemClass() override = default;

  aErr init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);
  aErr getRouter(uint8_t* address);
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* state);
  aErr setLED(uint8_t state);  // any non-zero state is sent as 1
  aErr getBootSlot(uint8_t* slot);
  aErr setBootSlot(uint8_t slot);
  aErr getVersion(uint32_t* version);
  aErr getModel(uint8_t* model);
  aErr getSerialNumber(uint32_t* serialNumber);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* voltage);
  aErr getModuleHardwareOffset(uint8_t* offset);
  aErr getModuleBaseAddress(uint8_t* address);
  aErr getModuleSoftwareOffset(uint8_t* offset);
  aErr setModuleSoftwareOffset(uint8_t offset);
  aErr getRouterAddressSetting(uint8_t* setting);
  aErr routeToMe(uint8_t enable);
  aErr getInputCurrent(uint32_t* current);
  aErr getUptime(uint32_t* minutes);
  aErr getMaximumTemperature(int32_t* temperature);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* voltage);
  aErr getUnregulatedCurrent(int32_t* current);
  aErr getTemperature(int32_t* temperature);
  aErr getMinimumTemperature(int32_t* temperature);
  aErr getInputPowerSource(uint8_t* source);
  aErr getInputPowerBehavior(uint8_t* behavior);
  aErr setInputPowerBehavior(uint8_t behavior);
  // Words travel as they lie in memory, 4 bytes each; *unloaded counts words
  // when the reply was a whole number of them, else bytes.
  aErr getInputPowerBehaviorConfig(uint32_t* words, uint32_t count, uint32_t* unloaded);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, uint32_t count);
  aErr getName(uint8_t* buffer, uint32_t capacity, uint32_t* unloaded);
  aErr setName(const uint8_t* data, uint32_t length);
  aErr getPowerLimit(uint32_t* limit);
  aErr getPowerLimitMax(uint32_t* limit);
  aErr setPowerLimitMax(uint32_t limit);
  aErr getPowerLimitState(uint32_t* state);
  aErr resetEntityToFactoryDefaults();
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* interface);
  aErr setLinkInterface(uint8_t interface);
  aErr getHardwareVersion(uint32_t* version);
  aErr getErrors(uint32_t* errors);
  aErr getLEDMaxBrightness(uint8_t* brightness);
  aErr setLEDMaxBrightness(uint8_t brightness);
  aErr getBuild(uint32_t* build);
  aErr getProtocolFeatures(uint32_t* features);
};

}  // namespace Veltrane::Tolvarine
