#include "recovery/HidApi.h"

const HidApi& hidApiDefault() {
  static const HidApi api = {
      hid_init, hid_exit, hid_enumerate, hid_free_enumeration, hid_open_path, hid_write, hid_read_timeout, hid_close,
  };
  return api;
}
