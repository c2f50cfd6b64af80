// The library's own trace switch: off by default and never switched on by the
// updater. When on, trace lines go to standard output for the level bits set.
#pragma once

#include <stdint.h>
#include <stdio.h>

extern uint8_t aTolvarineDebuggingEnable;
extern uint32_t aTolvarineDebuggingLevel;

#define aTRACE_LINK 0x1         // link life cycle and synchronisation
#define aTRACE_PACKETS 0x2      // packet traffic and heartbeat
#define aTRACE_SHARING 0x4      // link-sharing set-up failures
#define aTRACE_MULTICAST 0x8    // multicast endpoint
#define aTRACE_DISCOVERY 0x10   // discovery searches
#define aTRACE_CLIENT 0x20      // sharing client stream
#define aTRACE_NETWORK 0x40     // auto-networking
#define aTRACE_BEACON 0x200     // beacon interface lock
#define aTRACE_USB 0x400        // USB transfers

#define aTRACE(level, ...)                                                    \
  do {                                                                        \
    if (aTolvarineDebuggingEnable && (aTolvarineDebuggingLevel & (level))) {  \
      printf(__VA_ARGS__);                                                    \
      fflush(stdout);                                                         \
    }                                                                         \
  } while (0)
