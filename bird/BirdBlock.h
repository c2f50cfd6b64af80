// One block record of a loaded Bird file: a small value that points into the
// owning BirdFile's payload.
#pragma once

#include <stdint.h>

struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;   // payload length, load address word included for types 0 and 1
  uint32_t address = 0;  // load address for types 0 and 1, else 0
  const uint8_t* data = nullptr;  // first payload byte, valid while the BirdFile lives
};
