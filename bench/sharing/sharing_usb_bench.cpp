// A UEI get (the model) on an emulated USB module (sim/usb's bridge with the
// module stand-in behind it), each figure against its baseline in this run:
//   RoundTrip/UsbDirect on a plain USB link to the module
//   RoundTrip/UsbClient through the client link that aLink_CreateServer
//                       gives for the same module (target: at most 2x direct)
// The program runs itself under umockdev's preload library, which libusb
// needs to see the emulated bus; the stand-ins run without it. The TCP
// figures of sharing_bench run in a process of their own for that reason.
// Runs only inside scripts/netns: the server answers discovery.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/common/RatioReporter.h"
#include "bench/sharing/ModelGet.h"
#include "link/core/aLink.h"
#include "tests/unit/link_engine/standin.h"
#include "tests/unit/usb_bridge/bridge_process.h"
#include "tests/support/Netns.h"

namespace {

bridgetest::BridgeProcess* gBridge = nullptr;

// The stand-in behind an emulated USB module, opened directly or shared.
struct UsbModule {
  UsbModule(bridgetest::BridgeProcess& bridge, bool shared) {
    static uint32_t next = 0x40F58490;
    serial = next++;
    char add[96];
    snprintf(add, sizeof add, "add %08X 0011 127.0.0.1 %u 512", serial, static_cast<unsigned>(standIn.tcpPort()));
    if (bridge.send(add).rfind("ok", 0) != 0) return;
    uint16_t port = 0;
    uint32_t address = 0;
    link = shared ? aLink_CreateServer(serial, &port, &address, true) : aLink_CreateUSB(serial);
    for (int i = 0; i < 300 && link != 0 && aLink_GetStatus(link) != linkStateRunning; ++i) usleep(10000);
  }
  ~UsbModule() {
    if (link != 0) aLink_Destroy(&link);
  }
  StandIn standIn;
  uint32_t serial = 0;
  aLinkRef link = 0;
};

void UsbRoundTrip(benchmark::State& state, bool shared) {
  if (gBridge == nullptr || !gBridge->started()) {
    state.SkipWithError("no emulated USB bus");
    return;
  }
  UsbModule module(*gBridge, shared);
  aPacket* request = sModelRequest();
  if (module.link == 0 || !sModelGet(module.link, request)) {
    state.SkipWithError("no link");
  } else {
    for (auto _ : state) {
      if (!sModelGet(module.link, request)) {
        state.SkipWithError("lost reply");
        break;
      }
    }
  }
  aPacket_Destroy(&request);
}
BENCHMARK_CAPTURE(UsbRoundTrip, Direct, false)->Name("RoundTrip/UsbDirect")->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(UsbRoundTrip, Client, true)->Name("RoundTrip/UsbClient")->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!tvInsideNetns()) {
    fprintf(stderr, "sharing_usb_bench runs only inside scripts/netns\n");
    return 2;
  }
  if (!bridgetest::reexecUnderPreload()) {
    fprintf(stderr, "sharing_usb_bench: cannot run under umockdev's preload library\n");
    return 2;
  }
  bridgetest::BridgeProcess bridge;
  gBridge = &bridge;
  // The bridge needs the preload library too; the stand-ins started from
  // here on do not.
  unsetenv("LD_PRELOAD");
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("USB round trip: direct %.1f us, through the server %.1f us, ratio %.2f (target <= 2)\n",
         reporter.time("RoundTrip/UsbDirect") / 1000, reporter.time("RoundTrip/UsbClient") / 1000,
         reporter.ratio("RoundTrip/UsbClient", "RoundTrip/UsbDirect"));
  benchmark::Shutdown();
  return 0;
}
