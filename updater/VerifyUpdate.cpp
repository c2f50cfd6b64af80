// An update is done once the module runs the new build: after REBOOT wait
// for it to come back on the way it was updated, ask its build and compare
// it with the package's.
#include "app/Log.h"
#include "link/core/aTime.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr const char* kSpinner = "Verifying Update";
// The ceiling the re-enumeration over USB already has.
constexpr uint32_t kReturnCeilingMs = 15000;
constexpr uint32_t kRedialMs = 10;
// Through a router a query to a module that is still away goes unanswered:
// ask again soon, so that its first answer ends the wait.
constexpr uint32_t kRoutedReplyMs = 20;
constexpr uint32_t kAnswerMs = 1000;
// A module that came back at another address is found by a search, which
// lasts this long when nothing answers it; searched once a second at most.
constexpr uint32_t kSearchMs = 2000;
constexpr uint32_t kSearchEveryMs = 1000;
constexpr uint32_t kSpinEveryMs = 100;

class ReturnWait {
 public:
  explicit ReturnWait(UpdaterDisplayInterface& display) : display(display), started(aTime_GetMSTicks()) {}
  uint32_t elapsed() const { return aTime_GetMSTicks() - started; }
  bool over() const { return elapsed() >= kReturnCeilingMs; }
  uint32_t left() const { return over() ? 0 : kReturnCeilingMs - elapsed(); }
  void spin() {
    if (aTime_GetMSTicks() - spun < kSpinEveryMs) return;
    spun = aTime_GetMSTicks();
    display.update_spinner(true, kSpinner);
  }

 private:
  UpdaterDisplayInterface& display;
  const uint32_t started;
  uint32_t spun = 0;
};

// The router's link stays up while the module behind it reboots: its first
// answer is its return.
bool _await_routed_return(Module& module, ReturnWait& wait, unsigned& build) {
  while (!wait.over()) {
    wait.spin();
    if (!module.isConnected()) return false;  // the router itself went away
    if (_read_build_number(module, kRoutedReplyMs, build)) return true;
  }
  return false;
}

// Over TCP/IP the module is dialled again at the address it had until it
// answers on the new connection; one that came back at another address is
// found by its serial number.
bool _await_tcpip_return(Module& module, unsigned serial, ReturnWait& wait) {
  module.disconnect();
  uint32_t searched = wait.elapsed();
  while (!wait.over()) {
    wait.spin();
    if (module.reconnect() == aErrNone) return true;
    module.disconnect();
    if (wait.elapsed() - searched >= kSearchEveryMs && wait.left() >= kSearchMs) {
      if (module.discoverAndConnect(linkTypeTCPIP, serial) == aErrNone) return true;
      module.disconnect();
      searched = wait.elapsed();
      continue;
    }
    aTime_MSSleep(kRedialMs);
  }
  return false;
}

// True once the module answered its build query after the reboot.
bool _await_return(UpdaterDisplayInterface& display, Module& module, unsigned serial, bool routed, unsigned& build) {
  ReturnWait wait(display);
  wait.spin();
  if (routed) return _await_routed_return(module, wait, build);
  linkSpec spec{};
  const bool known = module.getLinkSpecifier(&spec) == aErrNone;
  // A module whose link never dropped restarted in place: it is asked at once.
  if (!module.isConnected()) {
    if (known && spec.type == linkTypeTCPIP) {
      if (!_await_tcpip_return(module, serial, wait)) return false;
    } else {
      module.disconnect();
      if (!_await_usb_module(module, serial)) return false;
    }
  }
  return _read_build_number(module, kAnswerMs, build);
}

}  // namespace

bool _verify_update(UpdaterDisplayInterface& display, Module& module, unsigned serial, bool routed,
                    const BirdFile& package, unsigned& running) {
  running = 0;
  const bool back = _await_return(display, module, serial, routed, running);
  display.update_spinner(false, kSpinner);
  if (!back) {
    display.message(ERROR, "Device %08X did not come back within 15 s of its reboot", serial);
    return false;
  }
  Log::log(DEBUG_Updater, "Device %08X is back running build %u\n", serial, running);
  if (package.FindBlocks(BirdFile::BLOCK_INFO).empty()) {
    display.message(INFO, "Verified: device %08X is back", serial);
    return true;
  }
  const unsigned written = package.GetBuild();
  if (running != written) {
    display.message(ERROR, "Device %08X runs build %u, not the build %u that was written", serial, running, written);
    return false;
  }
  display.message(INFO, "Verified: device %08X runs build %u", serial, running);
  return true;
}
