// The byte transport beneath the serial download protocol: one
// implementation for USB HID, one for a serial device.
#pragma once

#include <stdint.h>

#include <vector>

class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  // Opens the transport.
  virtual bool init() = 0;
  // Sends one command or data report (report id first); bytes accepted.
  virtual int writeData(const std::vector<uint8_t>& data) = 0;
  // Appends what the device sent within the time-out; the count appended.
  virtual int readData(std::vector<uint8_t>& data, unsigned timeoutMs) = 0;
  // The 32-bit status word at word position `index` of a reply.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) = 0;
};
