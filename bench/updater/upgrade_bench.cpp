// Firmware data paths of the upgrade entity against the module stand-in's
// loader, each against a baseline taken in the same run:
//   Data/StopAndWait  a minimal client on a raw socket: DATA packets of 26
//                     bytes, each awaiting its acknowledgement, then SUM
//   Data/Entity       the same bytes through UpdaterEntity::LoaderTransfer
//   Firmware/Plain    a 256 KiB firmware block in pieces of 4096 bytes as
//                     DATA packets, each piece summed and written
//   Firmware/UEIPooled  the same block, each piece one UEI byte-array set on
//                     a link with pooled packets
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "bench/common/RatioReporter.h"
#include "link/api/Module.h"
#include "tests/unit/link_engine/standin.h"
#include "tests/unit/updater/quiet_display.h"
#include "updater/UpdaterEntity.h"

using Veltrane::Tolvarine::Module;

namespace {

constexpr uint8_t kAddress = 2;
constexpr size_t kDataBytes = 26 * 100;
constexpr size_t kFirmwareBytes = 256 * 1024;

std::vector<uint8_t> addressed(uint32_t address, size_t length) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(i * 13 + 5));
  return out;
}

linkSpec tcpSpec(uint16_t port) {
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.port = port;
  return spec;
}

// The stop-and-wait client: one packet out, read until its reply is in.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~RawClient() { close(fd); }

  // Sends [cmd, op, bytes...] to the module and returns the first reply
  // whose data starts with cmd, reply_op.
  std::vector<uint8_t> exchange(const std::vector<uint8_t>& data, uint8_t reply_op) {
    std::vector<uint8_t> packet = {kAddress, static_cast<uint8_t>(data.size())};
    packet.insert(packet.end(), data.begin(), data.end());
    if (write(fd, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) throw std::runtime_error("w");
    for (;;) {
      uint8_t head[2];
      readAll(head, 2);
      std::vector<uint8_t> body(head[1]);
      readAll(body.data(), body.size());
      if (body.size() >= 2 && body[0] == data[0] && body[1] == reply_op) return body;
    }
  }

 private:
  void readAll(uint8_t* out, size_t count) {
    while (count > 0) {
      ssize_t n = read(fd, out, count);
      if (n <= 0) throw std::runtime_error("read");
      out += n;
      count -= static_cast<size_t>(n);
    }
  }
  int fd;
};

void BM_DataStopAndWait(benchmark::State& state) {
  StandIn module;
  RawClient client(module.tcpPort());
  const std::vector<uint8_t> bytes = addressed(0x20000000, kDataBytes);
  for (auto _ : state) {
    for (size_t sent = 0; sent < kDataBytes; sent += 26) {
      std::vector<uint8_t> data = {cmdUPGRADE, val_UPGRADE_DATA};
      data.insert(data.end(), bytes.begin() + 4 + static_cast<long>(sent),
                  bytes.begin() + 4 + static_cast<long>(sent) + 26);
      client.exchange(data, val_UPGRADE_DATA);
    }
    client.exchange({cmdUPGRADE, val_UPGRADE_SUM}, val_UPGRADE_STATUS);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDataBytes));
}
BENCHMARK(BM_DataStopAndWait)->Name("Data/StopAndWait")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DataEntity(benchmark::State& state) {
  StandIn module;
  Module device(kAddress, false, 0);
  if (device.connectFromSpec(tcpSpec(module.tcpPort())) != aErrNone) {
    state.SkipWithError("no connection");
    return;
  }
  UpdaterEntity entity;
  entity.init(&device, 0, true, false);
  const std::vector<uint8_t> bytes = addressed(0x20000000, kDataBytes);
  for (auto _ : state) {
    if (entity.LoaderTransfer(bytes.data(), static_cast<unsigned>(bytes.size())) != aErrNone) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDataBytes));
}
BENCHMARK(BM_DataEntity)->Name("Data/Entity")->Unit(benchmark::kMillisecond)->UseRealTime();

void firmwareTransfer(benchmark::State& state, bool uei) {
  StandIn module({"--block-size", "4096", "--load-keeps-link"});
  if (uei) {
    module("uei_data 1");
    module("pooled 1");
  }
  Module device(kAddress, false, 0);
  if (device.connectFromSpec(tcpSpec(module.tcpPort())) != aErrNone) {
    state.SkipWithError("no connection");
    return;
  }
  UpdaterEntity loader;
  loader.init(&device, 0, true, false);
  if (loader.LoaderInit() != aErrNone || loader.LoaderStart() != aErrNone) {
    state.SkipWithError("loader did not start");
    return;
  }
  UpdaterEntity entity;
  entity.init(&device, 0, true, false);
  if (uei && (entity.CheckUEIDataSupport() != aErrNone || entity.CheckPooledPacketsSupport() != aErrNone)) {
    state.SkipWithError("no byte-array path");
    return;
  }
  QuietDisplay display;
  const std::vector<uint8_t> firmware = addressed(0x4000, kFirmwareBytes);
  for (auto _ : state) {
    unsigned short blockSize = 0;
    if (entity.TransferPrepare(firmware.data(), static_cast<unsigned>(firmware.size()), 0, blockSize) != aErrNone ||
        entity.FirmwareTransfer(firmware.data(), static_cast<unsigned>(firmware.size()), blockSize, display) !=
            aErrNone) {
      state.SkipWithError("firmware transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFirmwareBytes));
}
void BM_FirmwarePlain(benchmark::State& state) { firmwareTransfer(state, false); }
void BM_FirmwareUEIPooled(benchmark::State& state) { firmwareTransfer(state, true); }
BENCHMARK(BM_FirmwarePlain)->Name("Firmware/Plain")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_FirmwareUEIPooled)->Name("Firmware/UEIPooled")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nplain data path vs stop-and-wait client (rate ratio, >= 0.67 wanted): %.2f\n",
         reporter.ratio("Data/StopAndWait", "Data/Entity"));
  printf("UEI byte arrays + pooled packets vs plain, 256 KiB (speed-up, >= 5 wanted): %.2f\n",
         reporter.ratio("Firmware/Plain", "Firmware/UEIPooled"));
  return 0;
}
