// A rack updated from a script: N modules, N Updater processes started at
// once (one -U each), wall time from the start to the last exit, as a ratio
// to one update (N = 1) in the same run:
//   Parallel/TCPIP/N   N stand-ins on the test network
//   Parallel/USB/N     N stand-ins on one emulated USB bus
// `failed` counts the processes that exited non-zero (a module lost at
// discovery, a connect refused). Race/TCPIP times a second -U for a module
// that another process is updating: it must fail at once.
// The stand-ins reboot in 0.5 s. Runs only inside scripts/netns.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/RatioReporter.h"
#include "bench/commands/CommandRun.h"
#include "tests/unit/link_engine/standin.h"
#ifdef USB_BRIDGE_BIN
#include "tests/unit/usb_bridge/bridge_process.h"
#endif

namespace {

constexpr int kRebootMs = 500;
constexpr int kRack = 8;


std::string serialOf(int i) {
  char serial[16];
  snprintf(serial, sizeof serial, "40F501%02X", i);
  return serial;
}

pid_t startUpdater(const std::vector<std::string>& args, bool usb, const std::string& errors = "/dev/null") {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err >= 0 ? err : null, 1);
    dup2(err >= 0 ? err : null, 2);
    execUpdater(args, usb);
  }
  return pid;
}

int exitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string writePackage(const std::string& serial) {
  std::string path = gScratch + "/" + serial + ".bird";
  std::string command = "python3 -c \"import sys; sys.path.insert(0, '" TV_REPO_ROOT "'); "
                        "from tests.e2e.fleet_support import write_package; write_package('" + path + "', 0x" +
                        serial + ", 1400, '2.14.0', firmware_size=700)\"";
  return system(command.c_str()) == 0 ? path : "";
}

struct Rack {
  explicit Rack(int size) {
    for (int i = 0; i < size; ++i) {
      serials.push_back(serialOf(i));
      modules.push_back(std::make_unique<StandIn>(std::vector<std::string>{
          "--discovery", "--host", "0.0.0.0", "--serial", "0x" + serials.back(), "--model", "17", "--down-ms",
          std::to_string(kRebootMs)}));
      packages.push_back(writePackage(serials.back()));
    }
  }
  // Until every module runs its firmware again after the reboot.
  void awaitOnline() {
    for (auto& module : modules) {
      module->waitFor("identity", [](const std::vector<std::string>& words) {
        for (const auto& w : words) if (w == "online=1") return true;
        return false;
      }, 5000);
    }
  }
  std::vector<std::string> serials;
  std::vector<std::unique_ptr<StandIn>> modules;
  std::vector<std::string> packages;
};

// One batch: every module's update started together; the time to the last exit.
void runBatch(benchmark::State& state, Rack& rack, bool usb) {
  auto start = Clock::now();
  std::vector<pid_t> running;
  for (size_t i = 0; i < rack.serials.size(); ++i)
    running.push_back(startUpdater({"-U", "-d", rack.serials[i], "-f", rack.packages[i]}, usb));
  int failed = 0;
  for (pid_t pid : running) failed += exitStatus(pid) != 0;
  state.SetIterationTime(msSince(start) / 1000.0);
  state.counters["failed"] += failed;
}

void BM_ParallelTCPIP(benchmark::State& state) {
  Rack rack(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    runBatch(state, rack, false);
    rack.awaitOnline();
  }
}

#ifdef USB_BRIDGE_BIN
void BM_ParallelUSB(benchmark::State& state) {
  Rack rack(static_cast<int>(state.range(0)));
  setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);  // the bridge's hotplug events need it
  bridgetest::BridgeProcess bridge;
  unsetenv("LD_PRELOAD");
  bool added = bridge.started();
  for (size_t i = 0; added && i < rack.serials.size(); ++i)
    added = bridge.send("add " + rack.serials[i] + " 0011 127.0.0.1 " +
                        std::to_string(rack.modules[i]->tcpPort()) + " 512").rfind("ok", 0) == 0;
  if (!added) {
    state.SkipWithError("the USB bridge did not start");
    return;
  }
  auto awaitPlugged = [&] {
    for (const auto& serial : rack.serials) {
      for (int i = 0; i < 500 && bridge.send("plugged " + serial) != "ok 1"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  for (auto _ : state) {
    runBatch(state, rack, true);
    rack.awaitOnline();
    awaitPlugged();
  }
}
BENCHMARK(BM_ParallelUSB)->Name("Parallel/USB")->Arg(1)->Arg(4)->Arg(8)->Iterations(3)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
#endif

// The first update is held in its loader wait (the module stays away after
// LOAD until told to come back); the second is timed from start to exit.
void BM_RaceTCPIP(benchmark::State& state) {
  Rack rack(1);
  StandIn& module = *rack.modules[0];
  for (auto _ : state) {
    module("loader_fault no_return_after_load 1");
    module("clear");
    pid_t first = startUpdater({"-U", "-d", rack.serials[0], "-f", rack.packages[0]}, false, gScratch + "/first.err");
    module.waitFor("events", [](const std::vector<std::string>& words) {
      for (const auto& w : words) if (w.rfind("load@", 0) == 0) return true;
      return false;
    }, 10000);
    // Told to come back only once its link dropped after LOAD.
    module.waitFor("listening", [](const std::vector<std::string>& words) { return words == std::vector<std::string>{"0"}; },
                   10000);
    auto start = Clock::now();
    int second =
        exitStatus(startUpdater({"-U", "-d", rack.serials[0], "-f", rack.packages[0]}, false, gScratch + "/second.err"));
    state.SetIterationTime(msSince(start) / 1000.0);
    module("come_back");
    int status = exitStatus(first);
    if (second != 1 || status != 0) {
      fprintf(stderr, "first %d, second %d\n", status, second);
      system(("cat " + gScratch + "/first.err " + gScratch + "/second.err >&2").c_str());
      state.SkipWithError("the second update did not fail, or the first did");
    }
    rack.awaitOnline();
  }
}

BENCHMARK(BM_ParallelTCPIP)->Name("Parallel/TCPIP")->Arg(1)->Arg(4)->Arg(8)->Iterations(5)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RaceTCPIP)->Name("Race/TCPIP")->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!beginCommandRun("parallel_bench")) return 1;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nN updates at once against one update (target <= 1.2):\n");
  for (const char* transport : {"TCPIP", "USB"}) {
    std::string one = std::string("Parallel/") + transport + "/1/";
    if (reporter.time(one) == 0) continue;
    for (int n : {4, kRack}) {
      std::string many = std::string("Parallel/") + transport + "/" + std::to_string(n) + "/";
      printf("Parallel/%-5s %d: %7.0f ms against %7.0f ms, ratio %.2f\n", transport, n, reporter.time(many),
             reporter.time(one), reporter.ratio(many, one));
    }
  }
  if (reporter.time("Race/TCPIP") > 0)
    printf("Race/TCPIP: the second process failed after %.0f ms (target < 100 ms)\n", reporter.time("Race/TCPIP"));
  benchmark::Shutdown();
  endCommandRun();
  return 0;
}
