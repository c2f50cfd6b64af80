#include "link/core/tvusbSysfs.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// Calls `visit(name)` for every device (not interface) in sysfs.
template <typename Visit>
void sEachDevice(Visit visit) {
  DIR* devices = opendir(tvusbSYSFS_DEVICES);
  if (devices == nullptr) return;
  while (dirent* entry = readdir(devices)) {
    // Devices only: interfaces ("1-2:1.0") and the dot entries are skipped.
    const char* name = entry->d_name;
    if (name[0] != '.' && strchr(name, ':') == nullptr) visit(name);
  }
  closedir(devices);
}

}  // namespace

std::set<tvusbBusAddress> tvusb_sysfs_family(const char* serial) {
  std::set<tvusbBusAddress> found;
  sEachDevice([&](const char* name) {
    // The vendor first: it rules out most devices with one read.
    if (sNumber(name, "idVendor", 16) != TOLVARINE_USB_VENDOR_ID) return;
    char line[64];
    if (serial[0] != '\0' && !(sLine(name, "serial", line, sizeof line) && strcmp(line, serial) == 0)) return;
    tvusbBusAddress where;
    if (sBusAddress(name, &where)) found.insert(where);
  });
  return found;
}

bool tvusb_sysfs_names_another(uint8_t bus, uint8_t address, const char* serial) {
  bool another = false, same = false;
  sEachDevice([&](const char* name) {
    tvusbBusAddress where;
    char line[64];
    if (!sBusAddress(name, &where) || where != tvusbBusAddress{bus, address}) return;
    if (sLine(name, "serial", line, sizeof line)) (strcmp(line, serial) == 0 ? same : another) = true;
  });
  return another && !same;
}
