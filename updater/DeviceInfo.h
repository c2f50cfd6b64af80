#pragma once

#include <stdint.h>

#include <string>

#include "link/core/aErr.h"
#include "link/core/linkSpec.h"

// One discovered module, copied by value.
struct DeviceInfo {
  linkSpec spec{};               // how the module was found
  uint32_t network_address = 0;  // I2C address behind a router (network discovery only)
  uint32_t build = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string model_name;
  std::string device_name;  // firmware 2.10.4 and later
  aErr error = aErrNone;    // the last step that failed while querying the module
};
