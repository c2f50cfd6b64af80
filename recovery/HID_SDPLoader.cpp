#include "recovery/HID_SDPLoader.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "app/Log.h"
#include "link/core/aUSBAccess.h"

namespace {

// A chip in download mode whose node the user may not open is named, as a
// module would be, instead of looking absent.
void sReportIfDenied(const std::string& path, uint16_t vendor, uint16_t product, const std::string& serial) {
  if (access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return;
  aUSBAccessDenied denied{};
  denied.vendor = vendor;
  denied.product = product;
  aUSBAccess_HidrawLocation(path.c_str(), &denied.bus, &denied.address);
  snprintf(denied.serial, sizeof denied.serial, "%s", serial.c_str());
  aUSBAccess_ReportDenied(&denied);
}

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product, const HidApi& api)
    : m_api(api), m_vendor(vendor), m_product(product) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (m_handle != nullptr) m_api.close(m_handle);
  m_handle = nullptr;
  if (m_initialised) m_api.exit();
}

bool HID_SDPLoader::init() {
  if (!m_initialised) {
    if (m_api.init() != 0) return false;
    m_initialised = true;
  }
  // With several processors in download mode attached, the first one that
  // hidapi enumerates is taken (as opening by ids alone would); the others
  // are named in the log so that a wrong choice can be seen.
  hid_device_info* devices = m_api.enumerate(m_vendor, m_product);
  std::string chosen;
  std::string serial;
  int found = 0;
  for (hid_device_info* d = devices; d != nullptr; d = d->next) {
    if (d->path == nullptr) continue;
    if (found == 0) {
      chosen = d->path;
      for (const wchar_t* c = d->serial_number; c != nullptr && *c != 0; ++c) serial += static_cast<char>(*c);
    }
    ++found;
  }
  if (found > 1) {
    Log::log(DEBUG_iMXSerial, "%d devices %04X:%04X in download mode, using [%s]\n", found, m_vendor, m_product,
             chosen.c_str());
    for (hid_device_info* d = devices; d != nullptr; d = d->next) {
      if (d->path != nullptr) Log::log(DEBUG_iMXSerial, "  found [%s]\n", d->path);
    }
  }
  m_api.free_enumeration(devices);
  if (found > 0) {
    m_handle = m_api.open_path(chosen.c_str());
    if (m_handle == nullptr) sReportIfDenied(chosen, m_vendor, m_product, serial);
  }
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(m_handle));
  return m_handle != nullptr;
}

int HID_SDPLoader::writeData(const std::vector<uint8_t>& data) {
  if (m_handle == nullptr || data.empty()) return -1;
  return m_api.write(m_handle, data.data(), data.size());
}

int HID_SDPLoader::readData(std::vector<uint8_t>& data, unsigned timeoutMs) {
  if (m_handle == nullptr) return 0;
  int total = 0;
  unsigned char report[INPUT_REPORT_SIZE];
  for (;;) {
    int n = m_api.read_timeout(m_handle, report, sizeof report, static_cast<int>(timeoutMs));
    if (n <= 0) break;
    // Report 3 carries the 4-byte HAB mode after its id; any other report
    // counts as long as it was read.
    int counted = report[0] == 3 ? 5 : n;
    data.insert(data.end(), report, report + counted);
    total += counted;
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) {
  if (reply.size() != REPLY_SIZE || index > 15) return false;
  value = static_cast<uint32_t>(reply[index + 6]) | static_cast<uint32_t>(reply[index + 7]) << 8 |
          static_cast<uint32_t>(reply[index + 8]) << 16 | static_cast<uint32_t>(reply[index + 9]) << 24;
  return true;
}
