// The few hidapi calls the HID transport makes, as a table of function
// pointers: the real hidapi by default, a stand-in table in tests.
#pragma once

#include <hidapi.h>

struct HidApi {
  int (*init)();
  int (*exit)();
  hid_device_info* (*enumerate)(unsigned short vendor, unsigned short product);
  void (*free_enumeration)(hid_device_info* devices);
  hid_device* (*open_path)(const char* path);
  int (*write)(hid_device* device, const unsigned char* data, size_t length);
  int (*read_timeout)(hid_device* device, unsigned char* data, size_t length, int milliseconds);
  void (*close)(hid_device* device);
};

// hidapi itself (hidraw back end).
const HidApi& hidApiDefault();
