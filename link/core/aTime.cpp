#include "link/core/aTime.h"

#include <sys/time.h>
#include <unistd.h>

uint32_t aTime_GetMSTicks(void) {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
  return static_cast<uint32_t>(ms);
}

uint32_t aTime_SleepStepMicroseconds(uint32_t milliseconds, uint32_t step) {
  const uint64_t total = static_cast<uint64_t>(milliseconds) * 1000u;
  const uint64_t done = static_cast<uint64_t>(step) * 999999u;
  if (done >= total) return 0;
  const uint64_t left = total - done;
  return static_cast<uint32_t>(left > 999999u ? 999999u : left);
}

aErr aTime_MSSleep(uint32_t milliseconds) {
  for (uint32_t step = 0;; ++step) {
    uint32_t us = aTime_SleepStepMicroseconds(milliseconds, step);
    if (us == 0) break;
    usleep(us);
  }
  return aErrNone;
}
