// USB descriptors of an emulated Tolvarine module: one configuration with a
// vendor interface (class 0xFF, subclass 0x88, protocol 0x10) holding one bulk
// IN and one bulk OUT endpoint.
#pragma once

#include <stdint.h>

#include <string>

namespace usbsim {

constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x02;
constexpr uint8_t kSerialStringIndex = 3;

struct ModuleIdentity {
  uint16_t vendor;
  uint16_t product;       // the low 8 bits are the model
  std::string serial;     // the serial-number string, as reported
  uint16_t maxPacket;     // of both bulk endpoints
};

// Device descriptor followed by the whole configuration, as sysfs holds them.
std::string descriptorBlob(const ModuleIdentity& id);
// A string descriptor (UTF-16LE) for index 0 (languages) or a text.
std::string stringDescriptor(uint8_t index, const ModuleIdentity& id);
// Upper-case hexadecimal, as the testbed's description format wants it.
std::string hexUpper(const std::string& bytes);

}  // namespace usbsim
