// The denied-device procedure, and the sysfs look-ups that name a device
// nobody may open.
#include "link/core/aUSBAccess.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

namespace {

std::mutex gLock;
aUSBAccessDeniedProc gProc = nullptr;
void* gReference = nullptr;

// The first line of a sysfs attribute, without its line end.
std::string sAttribute(const std::string& path) {
  std::string text;
  if (FILE* file = fopen(path.c_str(), "r")) {
    char line[256];
    if (fgets(line, sizeof line, file) != nullptr) text = line;
    fclose(file);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool sNumber(const std::string& path, long* value) {
  std::string text = sAttribute(path);
  char* end = nullptr;
  *value = strtol(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == '\0';
}

}  // namespace

void aUSBAccess_SetDeniedProc(aUSBAccessDeniedProc proc, void* reference) {
  std::lock_guard<std::mutex> hold(gLock);
  gProc = proc;
  gReference = reference;
}

void aUSBAccess_ReportDenied(const aUSBAccessDenied* device) {
  if (device == nullptr) return;
  std::lock_guard<std::mutex> hold(gLock);
  if (gProc != nullptr) gProc(device, gReference);
}

void aUSBAccess_ReadSerial(uint8_t bus, uint8_t address, char* serial, uint32_t size) {
  if (serial == nullptr || size == 0) return;
  serial[0] = '\0';
  const std::string root = "/sys/bus/usb/devices/";
  DIR* devices = opendir(root.c_str());
  if (devices == nullptr) return;
  while (const dirent* entry = readdir(devices)) {
    const std::string device = root + entry->d_name;
    long busnum = 0, devnum = 0;
    if (entry->d_name[0] == '.' || !sNumber(device + "/busnum", &busnum) || !sNumber(device + "/devnum", &devnum))
      continue;
    if (busnum != bus || devnum != address) continue;
    snprintf(serial, size, "%s", sAttribute(device + "/serial").c_str());
    break;
  }
  closedir(devices);
}

bool aUSBAccess_HidrawLocation(const char* node, uint8_t* bus, uint8_t* address) {
  if (node == nullptr || bus == nullptr || address == nullptr) return false;
  const char* name = strrchr(node, '/');
  name = name != nullptr ? name + 1 : node;
  // hidraw node -> HID device -> USB interface -> USB device.
  const std::string device = std::string("/sys/class/hidraw/") + name + "/device/../../";
  long busnum = 0, devnum = 0;
  if (!sNumber(device + "busnum", &busnum) || !sNumber(device + "devnum", &devnum)) return false;
  *bus = static_cast<uint8_t>(busnum);
  *address = static_cast<uint8_t>(devnum);
  return true;
}
