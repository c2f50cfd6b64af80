// Big-endian reads of the container's integers.
#pragma once

#include <stdint.h>

namespace bird {

inline uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace bird
