// How a Link shares its device with other processes, and which interface its
// sharing server and discovery use. A plain record, copied by value.
#pragma once

#include <bit>
#include <stdint.h>

// 127.0.0.1 as it lies in memory in network byte order (bytes 7F 00 00 01).
inline constexpr uint32_t aETHER_LOOPBACK =
    std::endian::native == std::endian::little ? 0x0100007Fu : 0x7F000001u;

struct aEtherConfig {
  // A USB device is opened as a shared link (sharing server) instead of a
  // plain USB link; client specifiers are refused unless set.
  bool sharingEnabled = true;
  // discoverAndConnect tries the other of USB and sharing client on failure.
  bool fallbackEnabled = true;
  // The sharing server accepts local connections only.
  bool localOnly = true;
  // Port of the sharing server; 0 lets it choose. The engine writes back the
  // port in use.
  uint16_t serverPort = 0;
  // IPv4 interface, network byte order; written back by the engine.
  uint32_t interfaceAddress = aETHER_LOOPBACK;
};

namespace Veltrane::Tolvarine {
using ::aEtherConfig;
}
