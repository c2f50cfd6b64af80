#include "updater/DeviceLock.h"

#include <errno.h>
#include <stdio.h>

#include "app/Log.h"
#include "link/core/aHostLock.h"

namespace {

std::string _hex_serial(unsigned serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

}  // namespace

DeviceLock::DeviceLock(unsigned serial)
    : file_name("tolvarine-module-" + _hex_serial(serial) + ".lock"),
      busy_text("Device " + _hex_serial(serial) + " is being updated by another process") {}

DeviceLock::DeviceLock(const std::string& port) : busy_text("Device on " + port + " is being updated by another process") {
  char part[128];
  aHostLock_NamePart(port.c_str(), part, sizeof part);
  file_name = std::string("tolvarine-port-") + part + ".lock";
}

DeviceLock::~DeviceLock() { aHostLock_Release(fd); }

bool DeviceLock::Take(UpdaterDisplayInterface& display) {
  if (fd >= 0) return true;
  fd = aHostLock_Open(file_name.c_str());
  if (fd < 0) {
    Log::log(DEBUG_Updater, "No lock folder for %s: going on without the module lock\n", file_name.c_str());
    return true;
  }
  if (aHostLock_Try(fd)) return true;
  const bool busy = errno == EWOULDBLOCK;
  aHostLock_Release(fd);
  fd = -1;
  if (!busy) return true;  // a file system without locks: nothing to share
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", busy_text.c_str());
  return false;
}
