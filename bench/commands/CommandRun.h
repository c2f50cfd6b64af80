// What the benchmarks of whole Updater commands share: they run only inside
// scripts/netns (they answer discovery), run the Updater of the build folder
// (TV_BUILD_DIR) and keep their stores in a scratch folder of their own.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/Netns.h"
#ifdef USB_BRIDGE_BIN
#include "tests/unit/usb_bridge/bridge_process.h"
#endif

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

// In a forked child: becomes Updater with the scratch store and `args`, under
// the emulated bus's preload libraries when `usb` (its modules are seen then).
[[noreturn]] void execUpdater(const std::vector<std::string>& args, bool usb) {
#ifdef USB_BRIDGE_BIN
  if (usb) setenv("LD_PRELOAD", bridgetest::busPreload(USB_BRIDGE_BIN).c_str(), 1);
#else
  (void)usb;
#endif
  std::vector<std::string> full = {gUpdater, "-i", gScratch + "/store"};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(gUpdater.c_str(), argv.data());
  _exit(127);
}

void endCommandRun() { system(("rm -rf " + gScratch).c_str()); }

}  // namespace
