#pragma once

#include <stdint.h>

// A chip's 128-bit identity: four 32-bit words, zero-initialised by callers.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};
static_assert(sizeof(Fingerprint) == 16, "a fingerprint is 16 bytes");
