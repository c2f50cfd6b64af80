// One writer per module on the host: an update or a recovery holds a lock
// named by the module's serial number (or, for a recovery that knows no
// serial number yet, by the port it reaches the chip through) from before its
// first packet to its end. A second process for the same module stops at once
// without touching it. The kernel drops the lock when its holder dies.
#pragma once

#include <string>

#include "app/UpdaterDisplayInterface.h"

class DeviceLock {
 public:
  explicit DeviceLock(unsigned serial);
  explicit DeviceLock(const std::string& port);
  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // False, after saying so on the display, while another process holds the
  // module. A host without a usable lock folder does not stop the command.
  bool Take(UpdaterDisplayInterface& display);

 private:
  std::string file_name;
  std::string busy_text;
  int fd = -1;
};
