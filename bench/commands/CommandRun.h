// What the benchmarks of whole Updater commands share: they run only inside
// scripts/netns (they answer discovery), run the Updater of the build folder
// (TV_BUILD_DIR) and keep their stores in a scratch folder of their own.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "tests/support/Netns.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string gUpdater;
std::string gScratch;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// False, after saying why, outside the private network namespace.
bool beginCommandRun(const char* name) {
  if (!tvInsideNetns()) {
    fprintf(stderr, "%s answers discovery: run it inside scripts/netns\n", name);
    return false;
  }
  const char* build = getenv("TV_BUILD_DIR");
  gUpdater = std::string(build != nullptr ? build : "build/bench") + "/app/Updater";
  std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
  gScratch = mkdtemp(pattern.data());
  return true;
}

void endCommandRun() { system(("rm -rf " + gScratch).c_str()); }

}  // namespace
