// Updater -G of a package with 4 MiB of firmware from the stand-in, against
// the same four HTTP requests (ping, current build, build list, download)
// made with plain curl in the same run, curl writing the package to a file
// and syncing it as the tool must. The tool's own work (start-up, decoding,
// validation) should stay small beside the transfer and the write.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "bench/common/RatioReporter.h"

namespace {

const char* kSerial = "40F5849A";
std::string gScratch;
std::string gUrl;
std::string gUpdater;
pid_t gServer = -1;

void run(benchmark::State& state, const std::string& command) {
  for (auto _ : state) {
    if (system(command.c_str()) != 0) {
      state.SkipWithError(("failed: " + command).c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (4 << 20));
}

void BM_UpdaterGet(benchmark::State& state) {
  run(state, gUpdater + " -i " + gScratch + "/veltrane -u " + gUrl + " -G -d " + kSerial + " >/dev/null");
}

void BM_CurlSameRequests(benchmark::State& state) {
  const std::string sn = std::string("sn=") + kSerial + "&";
  const std::string file = gScratch + "/curl/1234.bird";
  std::string command = "mkdir -p " + gScratch + "/curl && curl -sf -o /dev/null '" + gUrl + "?op=hi&rv=2&'";
  for (const std::string& query : {"op=qu&" + sn, "op=builds&" + sn})
    command += " -o /dev/null '" + gUrl + "?" + query + "'";
  command += " -o " + file + " '" + gUrl + "?bld=1234&fw=1.2.3&no_cal=false&op=bird&" + sn + "'";
  command += " && sync " + file + " " + gScratch + "/curl";
  run(state, command);
}

BENCHMARK(BM_CurlSameRequests)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_UpdaterGet)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

bool startServer() {
  char pattern[] = "/tmp/download-bench-XXXXXX";
  gScratch = mkdtemp(pattern);
  const std::string catalogue = gScratch + "/catalogue.json";
  std::ofstream(catalogue) << "{\"devices\": {\"" << kSerial
                           << "\": {\"current\": 1234, \"builds\": {\"1200\": \"1.1.0\", \"1234\": \"1.2.3\"},"
                              " \"firmware_size\": 4194304}}}\n";
  const std::string portFile = gScratch + "/port";
  gServer = fork();
  if (gServer == 0) {
    freopen("/dev/null", "w", stdout);
    execlp("python3", "python3", TV_SOURCE_DIR "/sim/update_server.py", "--catalogue", catalogue.c_str(),
           "--port-file", portFile.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 300; ++i) {
    std::ifstream in(portFile);
    std::string port;
    if (in >> port >> gUrl) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const char* build = getenv("TV_BUILD_DIR");
  gUpdater = std::string(build != nullptr ? build : "build/bench") + "/app/Updater";
  if (!startServer()) {
    fprintf(stderr, "the stand-in did not start\n");
    return 1;
  }
  // Warm-up: the stand-in makes and caches the package on first request.
  if (system((gUpdater + " -i " + gScratch + "/veltrane -u " + gUrl + " -G -d " + kSerial + " >/dev/null").c_str()) != 0) {
    fprintf(stderr, "warm-up download failed\n");
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("download of 4 MiB of firmware: curl writing and syncing the file %.1f ms, Updater -G %.1f ms, "
         "ratio %.2f (target <= 1.3)\n",
         reporter.time("BM_CurlSameRequests"), reporter.time("BM_UpdaterGet"),
         reporter.ratio("BM_UpdaterGet", "BM_CurlSameRequests"));
  benchmark::Shutdown();
  kill(gServer, SIGTERM);
  waitpid(gServer, nullptr, 0);
  system(("rm -rf " + gScratch).c_str());
  return 0;
}
