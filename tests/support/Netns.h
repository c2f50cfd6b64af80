// Discovery multicasts and broadcasts, and a sharing server answers it: the
// tests and benchmarks that do either run only inside scripts/netns, which
// sets TV_NETNS=1.
#pragma once

#include <stdlib.h>
#include <string.h>

inline bool tvInsideNetns() {
  const char* flag = getenv("TV_NETNS");
  return flag != nullptr && strcmp(flag, "1") == 0;
}

// In a GoogleTest body: skips the test outside the namespace.
#define REQUIRE_NETNS()                                                  \
  do {                                                                   \
    if (!tvInsideNetns()) GTEST_SKIP() << "runs only inside scripts/netns"; \
  } while (0)
