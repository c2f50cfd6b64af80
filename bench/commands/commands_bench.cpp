// Whole Updater commands, wall time from start to exit, each set against
// what the module stand-ins themselves take in the same run:
//   Discover/TCPIP/8   -D -t TCPIP with 8 modules: the protocol's 2 s reply
//                      window plus each module's own query time
//   Discover/Router    -D -r behind a router: the router's query time
//   Update/TCPIP/N     -U of a small package: the module's time moving the
//                      data, plus its restart after LOAD and its drop,
//                      reboot and return after REBOOT; N is the loader:
//                      0 closes its connection after LOAD, 1 resets it and
//                      accepts a new one at once, 2 starts in place on the
//                      same connection (no event: its 1 s ceiling stays)
//   Update/Router      -U of a module behind a router: the same, its
//                      reboot and return included
//   Update/USB/N       -U over the emulated USB bus: the same, and how long
//                      after its return the module was claimed again; N 1
//                      with hotplug events, 0 with arrivals that raise none
// Every figure also gives the time from the last output line to the exit.
// The stand-ins reboot in 0.5 s. Runs only inside scripts/netns.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common/RatioReporter.h"
#include "bench/commands/CommandRun.h"
#include "tests/unit/link_engine/standin.h"
#ifdef USB_BRIDGE_BIN
#include "tests/unit/usb_bridge/bridge_process.h"
#endif

namespace {

constexpr int kRebootMs = 500;
constexpr double kDropAfterMs = 50;  // a stand-in drops its link this long after LOAD or REBOOT
// A direct module is away from its LOAD to its return, and after REBOOT
// until it is back; behind a router its link stays and it is away only
// while it reboots.
constexpr double kRebootAwayMs = kDropAfterMs + kRebootMs + kDropAfterMs + kRebootMs;
// A loader that resets its connection does so this long after LOAD, and one
// that starts in place is not away at all.
constexpr double kResetAfterMs = kRebootMs;
constexpr double kRoutedAwayMs = kRebootMs;
constexpr double kActiveGapMs = 20;
const char* kHub = "40F5849A";
const char* kRouter = "40F50002";
const char* kBehind = "40F50006";


struct Outcome {
  double wallMs = 0;
  double tailMs = 0;  // from the last output line to the exit
  int status = -1;
};

// Runs Updater with its output on a pipe, to time the last line.
Outcome runUpdater(const std::vector<std::string>& args, bool usb = false) {
  int out[2];
  if (pipe(out) != 0) return {};
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(out[0]);
    execUpdater(args, usb);
  }
  close(out[1]);
  auto lastLine = start;
  char chunk[4096];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) != 0;) {
    if (n > 0) lastLine = Clock::now();
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome outcome;
  outcome.wallMs = msSince(start);
  outcome.tailMs = std::chrono::duration<double, std::milli>(Clock::now() - lastLine).count();
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// A stand-in's packet log: the times (s) and packets it received, from
// where the previous look ended.
class PacketLog {
 public:
  explicit PacketLog(std::string path) : path_(std::move(path)) {}
  struct Entry {
    double t;
    std::string packet;
  };
  std::vector<Entry> fresh() {
    std::ifstream in(path_);
    in.seekg(offset_);
    std::vector<Entry> entries;
    std::string line;
    while (std::getline(in, line)) {
      offset_ += static_cast<std::streamoff>(line.size() + 1);
      size_t t = line.find("\"t\": ");
      size_t packet = line.find("\"packet\": \"");
      if (t == std::string::npos || packet == std::string::npos) continue;
      packet += 11;
      entries.push_back({std::stod(line.substr(t + 5)), line.substr(packet, line.find('"', packet) - packet)});
    }
    return entries;
  }

 private:
  std::string path_;
  std::streamoff offset_ = 0;
};

// One module stand-in reachable by discovery, logging what it receives.
struct Module {
  Module(const std::string& serial, std::vector<std::string> extra = {})
      : log(gScratch + "/" + serial + "-" + std::to_string(count++) + ".log"),
        standIn(withDefaults(serial, log, std::move(extra))),
        packets(log) {}
  static std::vector<std::string> withDefaults(const std::string& serial, const std::string& log,
                                               std::vector<std::string> extra) {
    std::vector<std::string> args = {"--discovery", "--host", "0.0.0.0", "--serial", "0x" + serial,
                                     "--down-ms", std::to_string(kRebootMs), "--log", log};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Until the module (or the one at `at` behind it) is back after a reboot.
  void awaitOnline(const std::string& at = "") {
    std::string query = (at.empty() ? "" : "at " + at + " ") + "identity";
    standIn.waitFor(query, [](const std::vector<std::string>& words) {
      for (const auto& w : words) if (w == "online=1") return true;
      return false;
    }, 5000);
  }
  static inline int count = 0;
  std::string log;
  StandIn standIn;
  PacketLog packets;
};

// The module's own time for a command: the data moving (the packets' time,
// leaving out pauses longer than a round trip, which are the host's waits or
// the module's absence) plus the times it is away by its own doing.
double standInMs(const std::vector<PacketLog::Entry>& entries, double awayMs) {
  double moving = 0;
  for (size_t i = 1; i < entries.size(); ++i) {
    double gap = (entries[i].t - entries[i - 1].t) * 1000.0;
    if (gap < kActiveGapMs) moving += gap;
  }
  return moving + awayMs;
}

// How long after its return the module heard the host again: the first
// packet after the gap that LOAD opened, against LOAD + drop + reboot.
double claimedAfterReturnMs(const std::vector<PacketLog::Entry>& entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].packet.size() < 8 || entries[i].packet.compare(2, 6, "025f02") != 0) continue;
    double back = entries[i].t + (kDropAfterMs + kRebootMs) / 1000.0;
    for (size_t j = i + 1; j < entries.size(); ++j)
      if (entries[j].t > back - 0.02) return (entries[j].t - back) * 1000.0;
  }
  return -1;
}

std::string writePackage(const std::string& name, const std::string& serial, const char* model) {
  std::string path = gScratch + "/" + name + ".bird";
  std::string command = "python3 -c \"import sys; sys.path.insert(0, '" TV_REPO_ROOT "'); "
                        "from tests.e2e.fleet_support import write_package; write_package('" + path + "', 0x" +
                        serial + ", 1400, '2.14.0', model='" + model + "', firmware_size=700)\"";
  return system(command.c_str()) == 0 ? path : "";
}

void record(benchmark::State& state, const Outcome& outcome, double standIn) {
  state.SetIterationTime(outcome.wallMs / 1000.0);
  state.counters["standin_ms"] += standIn;
  state.counters["tail_ms"] += outcome.tailMs;
}

void average(benchmark::State& state) {
  double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  state.counters["standin_ms"] = state.counters["standin_ms"] / n;
  state.counters["tail_ms"] = state.counters["tail_ms"] / n;
  if (state.counters.count("claim_ms")) state.counters["claim_ms"] = state.counters["claim_ms"] / n;
}

bool failed(benchmark::State& state, const Outcome& outcome, const char* what) {
  if (outcome.status == 0) return false;
  state.SkipWithError(what);
  return true;
}

void BM_DiscoverTCPIP(benchmark::State& state) {
  std::vector<std::unique_ptr<Module>> fleet;
  for (int i = 0; i < state.range(0); ++i) {
    char serial[16];
    snprintf(serial, sizeof serial, "40F501%02X", i);
    fleet.push_back(std::make_unique<Module>(serial));
  }
  for (auto _ : state) {
    Outcome outcome = runUpdater({"-D", "-t", "TCPIP"});
    if (failed(state, outcome, "-D -t TCPIP failed")) return;
    double own = 2000;  // the reply window belongs to the protocol
    for (auto& module : fleet) own += standInMs(module->packets.fresh(), 0);
    record(state, outcome, own);
  }
  average(state);
}

const std::vector<std::string> kBehindRouter = {"--model", "5", "--behind", "4,0x40F50004,6",
                                                "--behind", "6,0x40F50006,6"};

void BM_DiscoverRouter(benchmark::State& state) {
  Module router(kRouter, kBehindRouter);
  for (auto _ : state) {
    Outcome outcome = runUpdater({"-D", "-r", kRouter});
    if (failed(state, outcome, "-D -r failed")) return;
    record(state, outcome, standInMs(router.packets.fresh(), 0));
  }
  average(state);
}

void BM_UpdateTCPIP(benchmark::State& state) {
  const int loader = static_cast<int>(state.range(0));
  Module hub(kHub, loader == 2 ? std::vector<std::string>{"--model", "17", "--load-keeps-link"}
                               : std::vector<std::string>{"--model", "17"});
  if (loader == 1) hub.standIn("loader_fault load_resets 1");
  // After LOAD: away until the return, until the reset, or not at all.
  const double afterLoad = loader == 0 ? kDropAfterMs + kRebootMs : loader == 1 ? kResetAfterMs : 0;
  const double away = kRebootAwayMs - (kDropAfterMs + kRebootMs) + afterLoad;
  std::string package = writePackage("hub", kHub, "IOAnalog");
  for (auto _ : state) {
    Outcome outcome = runUpdater({"-U", "-d", kHub, "-f", package});
    if (failed(state, outcome, "-U over TCP/IP failed")) return;
    record(state, outcome, standInMs(hub.packets.fresh(), away));
    hub.awaitOnline();
  }
  average(state);
}

void BM_UpdateRouter(benchmark::State& state) {
  Module router(kRouter, kBehindRouter);
  std::string package = writePackage("behind", kBehind, "HubRack16");
  for (auto _ : state) {
    Outcome outcome = runUpdater({"-U", "-d", kBehind, "-r", kRouter, "-f", package});
    if (failed(state, outcome, "-U through a router failed")) return;
    record(state, outcome, standInMs(router.packets.fresh(), kRoutedAwayMs));
    router.awaitOnline("6");
  }
  average(state);
}

#ifdef USB_BRIDGE_BIN
void BM_UpdateUSB(benchmark::State& state) {
  Module hub(kHub, {"--model", "17"});
  setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);  // the bridge's hotplug events need it
  bridgetest::BridgeProcess bridge;
  unsetenv("LD_PRELOAD");
  const bool hotplug = state.range(0) != 0;
  if (!bridge.started() || bridge.send(hotplug ? "hotplug 1" : "hotplug 0").rfind("ok", 0) != 0 ||
      bridge.send("add " + std::string(kHub) + " 0011 127.0.0.1 " +
                                       std::to_string(hub.standIn.tcpPort()) + " 512").rfind("ok", 0) != 0) {
    state.SkipWithError("the USB bridge did not start");
    return;
  }
  std::string package = writePackage("usb", kHub, "IOAnalog");
  for (auto _ : state) {
    Outcome outcome = runUpdater({"-U", "-d", kHub, "-f", package}, true);
    if (failed(state, outcome, "-U over USB failed")) return;
    auto entries = hub.packets.fresh();
    record(state, outcome, standInMs(entries, kRebootAwayMs));
    double claim = claimedAfterReturnMs(entries);
    state.counters["claim_ms"] += claim;
    state.counters["claim_max_ms"] = std::max(static_cast<double>(state.counters["claim_max_ms"]), claim);
    hub.awaitOnline();
    usleep(100000);  // the bridge plugs the module in again on its next tick
  }
  average(state);
}
BENCHMARK(BM_UpdateUSB)->Name("Update/USB")->DenseRange(0, 1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(BM_DiscoverTCPIP)->Name("Discover/TCPIP")->Arg(8)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoverRouter)->Name("Discover/Router")->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateTCPIP)->Name("Update/TCPIP")->DenseRange(0, 2)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateRouter)->Name("Update/Router")->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// Keeps each run's averaged counters for the summary.
class CommandsReporter : public RatioReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) counters[run.benchmark_name()] = run.counters;
    RatioReporter::ReportRuns(runs);
  }
  double counter(const std::string& prefix, const std::string& name) const {
    for (const auto& [run, values] : counters) {
      if (run.rfind(prefix, 0) != 0) continue;
      auto found = values.find(name);
      return found == values.end() ? 0 : static_cast<double>(found->second);
    }
    return 0;
  }
  void summary(const char* name, const char* target) const {
    double wall = time(name), own = counter(name, "standin_ms");
    if (wall == 0) return;
    printf("%-16s %7.0f ms, stand-in %7.0f ms, ratio %.2f, last line to exit %5.1f ms  (%s)\n", name, wall, own,
           own > 0 ? wall / own : 0, counter(name, "tail_ms"), target);
  }

 private:
  std::map<std::string, benchmark::UserCounters> counters;
};

}  // namespace

int main(int argc, char** argv) {
  if (!beginCommandRun("commands_bench")) return 1;
  benchmark::Initialize(&argc, argv);
  CommandsReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nWhole commands (stand-ins reboot in %d ms):\n", kRebootMs);
  reporter.summary("Discover/TCPIP", "target <= 3000 ms");
  reporter.summary("Discover/Router", "target <= 800 ms");
  reporter.summary("Update/TCPIP/0", "target: stand-in + 100 ms");
  reporter.summary("Update/TCPIP/1", "target: stand-in + 100 ms");
  reporter.summary("Update/TCPIP/2", "no event after LOAD: its 1 s ceiling stays");
  reporter.summary("Update/Router", "target: stand-in + 100 ms");
  for (const char* usb : {"Update/USB/1", "Update/USB/0"}) {
    reporter.summary(usb, "target: stand-in + 100 ms, claimed <= 100 ms after its return");
    if (reporter.time(usb) > 0)
      printf("%s: claimed %.0f ms (at most %.0f ms) after the module's return\n", usb,
             reporter.counter(usb, "claim_ms"), reporter.counter(usb, "claim_max_ms"));
  }
  benchmark::Shutdown();
  endCommandRun();
  return 0;
}
