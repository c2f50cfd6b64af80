#include "recovery/HID_SDPLoader.h"

#include <string>

#include "app/Log.h"

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
  int found = 0;
  for (hid_device_info* d = devices; d != nullptr; d = d->next) {
    if (d->path == nullptr) continue;
    if (found == 0) chosen = d->path;
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
  if (found > 0) m_handle = m_api.open_path(chosen.c_str());
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
