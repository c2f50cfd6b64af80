#include "link/core/tvusbSysfs.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>

#include "link/core/aDefs.h"

#define tvusbSYSFS_DEVICES "/sys/bus/usb/devices"

namespace {

// The first line of a sysfs attribute, without its line feed; false when unreadable.
bool sLine(const char* device, const char* name, char* line, size_t size) {
  char path[512];
  snprintf(path, sizeof path, tvusbSYSFS_DEVICES "/%s/%s", device, name);
  FILE* file = fopen(path, "re");
  if (file == nullptr) return false;
  line[0] = '\0';
  bool read = fgets(line, static_cast<int>(size), file) != nullptr;
  fclose(file);
  line[strcspn(line, "\n")] = '\0';
  return read;
}

// A sysfs attribute as a number; -1 when unreadable.
long sNumber(const char* device, const char* name, int base) {
  char line[32];
  if (!sLine(device, name, line, sizeof line)) return -1;
  char* end = nullptr;
  long value = strtol(line, &end, base);
  return end == line ? -1 : value;
}

// Bus and address of a device; false when sysfs does not tell them.
bool sBusAddress(const char* device, tvusbBusAddress* where) {
  long bus = sNumber(device, "busnum", 10), address = sNumber(device, "devnum", 10);
  if (bus <= 0 || bus > 255 || address <= 0 || address > 255) return false;
  *where = {static_cast<uint8_t>(bus), static_cast<uint8_t>(address)};
  return true;
}

// What a look needs of one sysfs device.
struct Device {
  long vendor = -1;
  bool located = false;
  tvusbBusAddress where{};
  bool hasSerial = false;
  char serial[64] = {};
};

Device sDescribe(const char* name) {
  Device device;
  device.vendor = sNumber(name, "idVendor", 16);
  device.located = sBusAddress(name, &device.where);
  device.hasSerial = sLine(name, "serial", device.serial, sizeof device.serial);
  return device;
}

// A device's attributes never change, and a device that leaves and comes
// back is a new entry (a new inode): each entry is read once, not at every
// look (several a second while a module is awaited). An entry is kept only
// once read whole, since its attributes appear just after it.
std::mutex gSeenLock;
std::map<std::pair<std::string, ino_t>, Device> gSeen;

// Calls `visit(device)` for every device (not interface) in sysfs.
template <typename Visit>
void sEachDevice(Visit visit) {
  DIR* devices = opendir(tvusbSYSFS_DEVICES);
  if (devices == nullptr) return;
  std::lock_guard<std::mutex> guard(gSeenLock);
  std::map<std::pair<std::string, ino_t>, Device> seen;
  while (dirent* entry = readdir(devices)) {
    // Devices only: interfaces ("1-2:1.0") and the dot entries are skipped.
    const char* name = entry->d_name;
    if (name[0] == '.' || strchr(name, ':') != nullptr) continue;
    const auto key = std::make_pair(std::string(name), entry->d_ino);
    auto known = gSeen.find(key);
    Device device = known != gSeen.end() ? known->second : sDescribe(name);
    const bool whole =
        device.vendor >= 0 && device.located && (device.vendor != TOLVARINE_USB_VENDOR_ID || device.hasSerial);
    if (whole) seen.emplace(key, device);
    visit(device);
  }
  closedir(devices);
  gSeen.swap(seen);  // entries gone from sysfs are forgotten
}

}  // namespace

std::set<tvusbBusAddress> tvusb_sysfs_family(const char* serial) {
  std::set<tvusbBusAddress> found;
  sEachDevice([&](const Device& device) {
    if (device.vendor != TOLVARINE_USB_VENDOR_ID || !device.located) return;
    if (serial[0] != '\0' && !(device.hasSerial && strcmp(device.serial, serial) == 0)) return;
    found.insert(device.where);
  });
  return found;
}

bool tvusb_sysfs_names_another(uint8_t bus, uint8_t address, const char* serial) {
  bool another = false, same = false;
  sEachDevice([&](const Device& device) {
    if (!device.located || device.where != tvusbBusAddress{bus, address} || !device.hasSerial) return;
    (strcmp(device.serial, serial) == 0 ? same : another) = true;
  });
  return another && !same;
}
