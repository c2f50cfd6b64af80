// The system entity's options, each one UEI of command 3.
#include "link/api/SystemClass.h"

namespace Veltrane::Tolvarine {

namespace {

enum : uint8_t {
  kModule = 1,
  kRouter = 2,
  kHBInterval = 3,
  kLED = 4,
  kBootSlot = 6,
  kVersion = 7,
  kModel = 8,
  kSerialNumber = 9,
  kSave = 10,
  kReset = 11,
  kInputVoltage = 12,
  kModuleHardwareOffset = 13,
  kModuleBaseAddress = 14,
  kModuleSoftwareOffset = 15,
  kRouterAddressSetting = 16,
  kRouteToMe = 20,
  kInputCurrent = 21,
  kUptime = 22,
  kMaximumTemperature = 23,
  kLogEvents = 24,
  kUnregulatedVoltage = 25,
  kUnregulatedCurrent = 26,
  kTemperature = 27,
  kMinimumTemperature = 28,
  kInputPowerSource = 29,
  kInputPowerBehavior = 30,
  kInputPowerBehaviorConfig = 31,
  kName = 32,
  kPowerLimit = 33,
  kPowerLimitMax = 34,
  kPowerLimitState = 35,
  kResetEntityToFactoryDefaults = 36,
  kResetDeviceToFactoryDefaults = 37,
  kLinkInterface = 38,
  kHardwareVersion = 40,
  kErrors = 41,
  kLEDMaxBrightness = 42,
  kBuild = 43,
  kProtocolFeatures = 45
};

constexpr uint32_t kWordBytes = 4;

// Signed readings travel as plain 32-bit words.
aErr sGetSigned(EntityClass& entity, uint8_t option, int32_t* value) {
  if (value == nullptr) return aErrParam;
  uint32_t word = 0;
  aErr result = entity.getUEI32(option, &word);
  if (result == aErrNone || result == aErrStreamStale) *value = static_cast<int32_t>(word);
  return result;
}

}  // namespace

aErr SystemClass::init(Module* module, uint8_t index) { return EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::getModule(uint8_t* address) { return getUEI8(kModule, address); }
aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(kRouter, address); }
aErr SystemClass::setRouter(uint8_t address) { return setUEI8(kRouter, address); }
aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(kHBInterval, interval); }
aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(kHBInterval, interval); }
aErr SystemClass::getLED(uint8_t* state) { return getUEI8(kLED, state); }
aErr SystemClass::setLED(uint8_t state) { return setUEI8(kLED, static_cast<uint8_t>(state != 0 ? 1 : 0)); }
aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(kBootSlot, slot); }
aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(kBootSlot, slot); }
aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(kVersion, version); }
aErr SystemClass::getModel(uint8_t* model) { return getUEI8(kModel, model); }
aErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(kSerialNumber, serialNumber); }
aErr SystemClass::save() { return callUEI(kSave); }
aErr SystemClass::reset() { return callUEI(kReset); }
aErr SystemClass::getInputVoltage(uint32_t* voltage) { return getUEI32(kInputVoltage, voltage); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(kModuleHardwareOffset, offset); }
aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(kModuleBaseAddress, address); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::getRouterAddressSetting(uint8_t* setting) { return getUEI8(kRouterAddressSetting, setting); }
aErr SystemClass::routeToMe(uint8_t enable) { return setUEI8(kRouteToMe, enable); }
aErr SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(kInputCurrent, current); }
aErr SystemClass::getUptime(uint32_t* minutes) { return getUEI32(kUptime, minutes); }
aErr SystemClass::getMaximumTemperature(int32_t* temperature) {
  return sGetSigned(*this, kMaximumTemperature, temperature);
}
aErr SystemClass::logEvents() { return callUEI(kLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return sGetSigned(*this, kUnregulatedVoltage, voltage); }
aErr SystemClass::getUnregulatedCurrent(int32_t* current) { return sGetSigned(*this, kUnregulatedCurrent, current); }
aErr SystemClass::getTemperature(int32_t* temperature) { return sGetSigned(*this, kTemperature, temperature); }
aErr SystemClass::getMinimumTemperature(int32_t* temperature) {
  return sGetSigned(*this, kMinimumTemperature, temperature);
}
aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(kInputPowerSource, source); }
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(kInputPowerBehavior, behavior); }
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(kInputPowerBehavior, behavior); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, uint32_t count, uint32_t* unloaded) {
  if (words == nullptr) return aErrParam;
  aErr result = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words), count * kWordBytes,
                            unloaded);
  // A reply that is no whole number of words leaves the byte count standing.
  if (result == aErrNone) getUEIBytesCheck(unloaded, kWordBytes);
  return result;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, uint32_t count) {
  if (words == nullptr && count != 0) return aErrParam;
  return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words), count * kWordBytes);
}

aErr SystemClass::getName(uint8_t* buffer, uint32_t capacity, uint32_t* unloaded) {
  return getUEIBytes(kName, buffer, capacity, unloaded);
}
aErr SystemClass::setName(const uint8_t* data, uint32_t length) { return setUEIBytes(kName, data, length); }
aErr SystemClass::getPowerLimit(uint32_t* limit) { return getUEI32(kPowerLimit, limit); }
aErr SystemClass::getPowerLimitMax(uint32_t* limit) { return getUEI32(kPowerLimitMax, limit); }
aErr SystemClass::setPowerLimitMax(uint32_t limit) { return setUEI32(kPowerLimitMax, limit); }
aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(kPowerLimitState, state); }
aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(kResetEntityToFactoryDefaults); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* interface) { return getUEI8(kLinkInterface, interface); }
aErr SystemClass::setLinkInterface(uint8_t interface) { return setUEI8(kLinkInterface, interface); }
aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(kHardwareVersion, version); }
aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(kErrors, errors); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::getBuild(uint32_t* build) { return getUEI32(kBuild, build); }
aErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(kProtocolFeatures, features); }

}  // namespace Veltrane::Tolvarine
