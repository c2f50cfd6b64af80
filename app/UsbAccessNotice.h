// Names each USB device that the run found but may not open, once, with the
// remedy: without it a module plugged in without permission is only missing
// from the listing.
#pragma once

#include <set>
#include <utility>

#include "app/UpdaterDisplayInterface.h"
#include "link/core/aUSBAccess.h"

class UsbAccessNotice {
 public:
  explicit UsbAccessNotice(UpdaterDisplayInterface& display);
  ~UsbAccessNotice();
  UsbAccessNotice(const UsbAccessNotice&) = delete;
  UsbAccessNotice& operator=(const UsbAccessNotice&) = delete;

 private:
  static void denied(const aUSBAccessDenied* device, void* reference);

  UpdaterDisplayInterface& m_display;
  // Some flows search the bus many times (the live loader's wait up to 15);
  // one line per device is enough.
  std::set<std::pair<uint8_t, uint8_t>> m_named;
};
