// Loading a Bird file with 4 MiB of firmware against zlib's uncompress of the
// same payload alone, in the same run. The file is written at start by the
// independent writer, sim/birdfile.py. Target: load / uncompress <= 1.3.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench/common/RatioReporter.h"

#include "bird/BirdFile.h"

namespace {

std::string gPath;
std::vector<uint8_t> gFile;

bool writePackage() {
  char dir[] = "/tmp/bird_benchXXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  const std::string desc = std::string(dir) + "/description.json";
  gPath = std::string(dir) + "/4mib.bird";
  std::ofstream(desc) << R"({"blocks": [
      {"kind": "info", "build": 4242, "version": "1.0.0", "serial": 0, "model": "BENCH"},
      {"kind": "loader", "address": 536871936, "image": {"length": 65536, "seed": 1, "pattern": "firmware"}},
      {"kind": "firmware", "address": 0, "image": {"length": 4194304, "seed": 2, "pattern": "firmware"}},
      {"kind": "serial_offsets", "serial_address": 1024, "descriptor_address": 2048}]})";
  const std::string command = "python3 " TV_SOURCE_ROOT "/sim/birdfile.py build --description " + desc + " -o " + gPath;
  if (system(command.c_str()) != 0) return false;
  std::ifstream in(gPath, std::ios::binary);
  gFile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return gFile.size() > 6;
}

void BM_Uncompress(benchmark::State& state) {
  const size_t compressed = gFile.size() - 6;
  std::vector<uint8_t> out(compressed * 8);
  for (auto _ : state) {
    uLongf produced = out.size();
    if (uncompress(out.data(), &produced, gFile.data() + 6, compressed) != Z_OK) state.SkipWithError("uncompress");
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_BirdFileLoad(benchmark::State& state) {
  for (auto _ : state) {
    BirdFile file(gPath);
    benchmark::DoNotOptimize(file.blocks.data());
  }
}

BENCHMARK(BM_Uncompress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BirdFileLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!writePackage()) {
    fprintf(stderr, "could not write the benchmark package with sim/birdfile.py\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double base = reporter.time("BM_Uncompress"), load = reporter.time("BM_BirdFileLoad");
  printf("payload %zu bytes compressed; uncompress %.3f ms, BirdFile load %.3f ms, ratio %.3f (target <= 1.3)\n",
         gFile.size() - 6, base, load, base > 0 ? load / base : 0.0);
  const std::string dir = gPath.substr(0, gPath.rfind('/'));
  unlink(gPath.c_str());
  unlink((dir + "/description.json").c_str());
  rmdir(dir.c_str());
  benchmark::Shutdown();
  return base > 0 && load / base <= 1.3 ? 0 : 1;
}
