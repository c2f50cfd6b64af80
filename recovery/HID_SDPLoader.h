// Serial download protocol over USB HID (hidapi, hidraw back end): command
// and data reports out, report 3 (HAB mode) and report 4 (status) in.
#pragma once

#include <stdint.h>

#include "recovery/HidApi.h"
#include "recovery/SDPLoader_Interface.h"

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  static constexpr size_t INPUT_REPORT_SIZE = 65;
  static constexpr size_t REPLY_SIZE = 70;  // report 3 of 5 bytes + report 4 of 65

  HID_SDPLoader(uint16_t vendor, uint16_t product, const HidApi& api = hidApiDefault());
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool init() override;
  int writeData(const std::vector<uint8_t>& data) override;
  int readData(std::vector<uint8_t>& data, unsigned timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) override;

 private:
  const HidApi& m_api;
  hid_device* m_handle = nullptr;
  bool m_initialised = false;
  uint16_t m_vendor;
  uint16_t m_product;
};
