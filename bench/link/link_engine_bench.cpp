// The link engine over loopback TCP against a minimal echo peer, measured
// against the same exchange on a plain blocking socket in the same run.
//   RoundTrip/Raw      write a 5-byte packet, read its echo (blocking socket)
//   RoundTrip/Engine   aLink_PutPacket, then aLink_AwaitFirst of the echo
//   Send/{Plain,Pooled} packets/s host -> peer (peer counts bytes)
//   Receive            packets/s peer -> host through the in-pipe
//   Idle               CPU of a connected, idle link over 2 s
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/common/RatioReporter.h"
#include "link/core/aLink.h"
#include "tests/support/LoopbackListener.h"

namespace {

// A peer thread on 127.0.0.1 playing a minimal module at address 2: echoes
// every packet to an even address, answers a sync request (0xAD) with (2, 0)
// and ignores route control (mode echo); or only counts the bytes it reads
// (mode sink); or floods echo packets (mode source).
class Peer {
 public:
  enum Mode { kEcho, kSink, kSource };
  explicit Peer(Mode mode) : mode_(mode) {
    listener_ = tvOpenLoopbackListener(1, &port_);
    thread_ = std::thread([this] { run(); });
  }
  ~Peer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    if (conn_ >= 0) close(conn_);
  }
  uint16_t port() const { return port_; }
  std::atomic<uint64_t> received{0};

 private:
  void run() {
    conn_ = accept(listener_, nullptr, nullptr);
    if (conn_ < 0) return;
    int on = 1;
    setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<uint8_t> buffer(65536);
    if (mode_ == kSource) {
      // Back-to-back echo-command packets from module address 2.
      for (int i = 0; i < 2048; ++i) {
        uint8_t p[5] = {2, 3, 23, static_cast<uint8_t>(i), 0};
        std::copy(p, p + 5, buffer.begin() + i * 5);
      }
      while (!stop_ && send(conn_, buffer.data(), 2048 * 5, MSG_NOSIGNAL) > 0) {
      }
      return;
    }
    std::vector<uint8_t> pending, out;
    while (!stop_) {
      ssize_t n = recv(conn_, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      received += static_cast<uint64_t>(n);
      if (mode_ != kEcho) continue;
      pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
      size_t at = 0;
      out.clear();
      while (at + 2 <= pending.size() && at + 2 + pending[at + 1] <= pending.size()) {
        size_t size = 2 + pending[at + 1];
        if (pending[at] == 0xAD) {
          out.push_back(2);
          out.push_back(0);
        } else if ((pending[at] & 1) == 0) {
          out.insert(out.end(), pending.begin() + at, pending.begin() + at + size);
        }
        at += size;
      }
      pending.erase(pending.begin(), pending.begin() + at);
      if (!out.empty()) send(conn_, out.data(), out.size(), MSG_NOSIGNAL);
    }
  }
  Mode mode_;
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool isEcho(const aPacket* p, void*) { return p->length == 3 && p->data[0] == 23; }

void RoundTripRaw(benchmark::State& state) {
  Peer peer(Peer::kEcho);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(peer.port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const uint8_t request[5] = {2, 3, 23, 1, 2};
  uint8_t reply[5];
  for (auto _ : state) {
    send(fd, request, 5, 0);
    recv(fd, reply, 5, MSG_WAITALL);
  }
  close(fd);
}
BENCHMARK(RoundTripRaw)->Name("RoundTrip/Raw")->UseRealTime()->MinTime(2.0);

void RoundTripEngine(benchmark::State& state) {
  Peer peer(Peer::kEcho);
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  if (id == 0) {
    state.SkipWithError("no link");
    return;
  }
  const uint8_t data[3] = {23, 1, 2};
  aPacket* request = aPacket_CreateWithData(2, 3, data);
  for (auto _ : state) {
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, isEcho, nullptr, 1000);
    if (reply == nullptr) {
      state.SkipWithError("lost reply");
      break;
    }
    aPacket_Destroy(&reply);
  }
  aPacket_Destroy(&request);
  aLink_Destroy(&id);
}
BENCHMARK(RoundTripEngine)->Name("RoundTrip/Engine")->UseRealTime()->MinTime(2.0);

void Send(benchmark::State& state) {
  Peer peer(Peer::kSink);
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  aLink_EnablePooledPackets(id, state.range(0) != 0);
  uint8_t data[28] = {23};
  aPacket* packet = aPacket_CreateWithData(2, 28, data);
  const int burst = 500;
  uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < burst; ++i) aLink_PutPacket(id, packet);
    sent += burst;
    // Keep the out-FIFO below its overflow: wait for the peer to catch up.
    while (peer.received.load() + 30 * 200 < sent * 30 + 3) std::this_thread::yield();
  }
  while (peer.received.load() < sent * 30 + 3) std::this_thread::yield();
  state.counters["packets/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  aPacket_Destroy(&packet);
  aLink_Destroy(&id);
}
BENCHMARK(Send)->Name("Send/Pooled")->Arg(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(Send)->Name("Send/Plain")->Arg(0)->UseRealTime()->MinTime(2.0);

void Receive(benchmark::State& state) {
  Peer peer(Peer::kSource);
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  uint64_t got = 0;
  for (auto _ : state) {
    aPacket* p = aLink_AwaitPacket(id, 1000);
    if (p == nullptr) {
      state.SkipWithError("no packet");
      break;
    }
    aPacket_Destroy(&p);
    ++got;
  }
  state.counters["packets/s"] = benchmark::Counter(static_cast<double>(got), benchmark::Counter::kIsRate);
  aLink_Destroy(&id);
}
BENCHMARK(Receive)->Name("Receive")->UseRealTime()->MinTime(2.0);

double processCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void Idle(benchmark::State& state) {
  Peer peer(Peer::kEcho);
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  double percent = 0;
  for (auto _ : state) {
    double cpu0 = processCpuMs();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    percent = 100.0 * (processCpuMs() - cpu0) / wall;
  }
  state.counters["cpu_%_of_core"] = percent;
  aLink_Destroy(&id);
}
BENCHMARK(Idle)->Name("Idle/2s")->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("round trip: raw socket %.1f us, engine %.1f us, ratio %.2f (target <= 1.5)\n",
         reporter.time("RoundTrip/Raw") / 1000, reporter.time("RoundTrip/Engine") / 1000,
         reporter.ratio("RoundTrip/Engine", "RoundTrip/Raw"));
  benchmark::Shutdown();
  return 0;
}
