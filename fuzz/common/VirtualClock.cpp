// The harnesses' clock: a sleep returns at once and moves the time that
// gettimeofday reports by as much, so waits, read budgets and time-outs in
// the code under test pass at fuzzing speed with the same outcome. Linked
// into each harness executable, so these definitions take the place of the
// C library's. Harnesses are single-threaded, hence no locking.
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "FuzzSupport.h"

namespace {

uint64_t gSleptMicroseconds = 0;

}  // namespace

extern "C" int usleep(useconds_t microseconds) {
  gSleptMicroseconds += microseconds;
  if (fuzz::onSleep) fuzz::onSleep();
  return 0;
}

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t us = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u +
                      gSleptMicroseconds;
  tv->tv_sec = static_cast<time_t>(us / 1000000u);
  tv->tv_usec = static_cast<suseconds_t>(us % 1000000u);
  return 0;
}
