// The SDP loader's dump of a packet or reply: "%X " per byte, then "\n".
#pragma once

#include <stdint.h>

#include <vector>

void sdpDump(const std::vector<uint8_t>& bytes);
