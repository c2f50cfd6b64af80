#include "UsbDescriptors.h"

namespace usbsim {

namespace {

void put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

std::string utf16(const std::string& text) {
  std::string out;
  out.push_back(static_cast<char>(2 + 2 * text.size()));
  out.push_back(3);  // STRING
  for (char c : text) {
    out.push_back(c);
    out.push_back(0);
  }
  return out;
}

}  // namespace

std::string descriptorBlob(const ModuleIdentity& id) {
  std::string d;
  // Device: USB 2.0, class per interface, ep0 64 bytes, strings 1..3, one config.
  d += std::string("\x12\x01\x00\x02\x00\x00\x00\x40", 8);
  put16(d, id.vendor);
  put16(d, id.product);
  d += std::string("\x00\x01\x01\x02", 4);
  d.push_back(static_cast<char>(kSerialStringIndex));
  d.push_back(1);
  // Configuration 1, total length 32, one interface, bus powered 100 mA.
  d += std::string("\x09\x02\x20\x00\x01\x01\x00\x80\x32", 9);
  d += std::string("\x09\x04\x00\x00\x02\xFF\x88\x10\x00", 9);
  d += std::string("\x07\x05", 2);
  d.push_back(static_cast<char>(kEndpointIn));
  d.push_back(0x02);  // bulk
  put16(d, id.maxPacket);
  d.push_back(0);
  d += std::string("\x07\x05", 2);
  d.push_back(static_cast<char>(kEndpointOut));
  d.push_back(0x02);
  put16(d, id.maxPacket);
  d.push_back(0);
  return d;
}

std::string stringDescriptor(uint8_t index, const ModuleIdentity& id) {
  switch (index) {
    case 0: return std::string("\x04\x03\x09\x04", 4);  // English (US)
    case 1: return utf16("Veltrane");
    case 2: return utf16("Tolvarine module");
    case kSerialStringIndex: return utf16(id.serial);
    default: return {};
  }
}

std::string hexUpper(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0xF]);
  }
  return out;
}

}  // namespace usbsim
