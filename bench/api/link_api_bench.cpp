// The object API over loopback TCP against a small module peer, each figure
// against the engine's own packet round trip measured in the same run.
//   UEI/Packet   aLink_PutPacket of a system get, aLink_AwaitFirst of its reply
//   UEI/Link     the same exchange as Link::sendUEI and Link::receiveUEI
//   UEI/Entity   SystemClass::getModel through a Module (stream look-up first)
//   UEI/Cached   getModel of a streamed value: answered from the stream table
//   Bytes/Name   SystemClass::getName of a 96-byte name (4 reply packets)
//   Stream/Callbacks  samples/s from the wire to a callback on the worker
//   UEI/Interleaved   the packet, Link and entity gets taken in turn on one
//                     engine link, so that load on a shared machine falls on
//                     all three alike; reported as ratios to the packet get
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/common/RatioReporter.h"
#include "link/api/Module.h"
#include "link/api/SystemClass.h"
#include "tests/support/LoopbackListener.h"

using namespace Veltrane::Tolvarine;

namespace {

constexpr uint8_t kAddress = 2;

struct Interleaved {
  double packet, link, entity;
} interleaved{0, 0, 0};

// A module at address 2: answers the address query, the model get (system
// option 8) and the name get (option 32, a 96-byte block), acknowledges
// stream registrations, and on request floods 32-bit stream samples.
class Peer {
 public:
  Peer() {
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
  linkSpec spec() const {
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.ipAddress = htonl(INADDR_LOOPBACK);
    s.port = port_;
    return s;
  }
  uint16_t port() const { return port_; }
  std::atomic<bool> flood{false};

 private:
  void reply(std::vector<uint8_t>& out, std::initializer_list<uint8_t> data) {
    out.push_back(kAddress);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data);
  }
  void answer(const uint8_t* p, std::vector<uint8_t>& out) {
    uint8_t address = p[0], length = p[1];
    const uint8_t* d = p + 2;
    if (address == 0xAD) return reply(out, {});
    if (address != kAddress || length < 3) return;
    if (d[0] == 3 && d[1] == 0x48) return reply(out, {3, 8, 0, 0x11});
    if (d[0] == 3 && d[1] == 0x60) {
      for (uint8_t i = 0; i < 4; ++i) {
        out.insert(out.end(), {kAddress, 28, 3, 32, 0});
        out.insert(out.end(), 24, static_cast<uint8_t>('a' + i));
        out.push_back(static_cast<uint8_t>(i | (i < 3 ? 0x80 : 0)));
      }
      return;
    }
    if (d[0] == 0x5D) {
      reply(out, {0x5D, static_cast<uint8_t>(d[1] | 0x40), 0});
      // A first sample right away, so the value is in the host's table.
      if (d[1] == 0x81) reply(out, {3, 8, 0x40, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0x11, 0});
    }
  }
  void run() {
    conn_ = accept(listener_, nullptr, nullptr);
    if (conn_ < 0) return;
    int on = 1;
    setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<uint8_t> buffer(65536), pending, out;
    std::vector<uint8_t> samples;
    for (uint32_t i = 0; i < 1024; ++i)
      samples.insert(samples.end(), {kAddress, 17, 3, 8, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                     static_cast<uint8_t>(i), 0});
    while (!stop_) {
      if (flood) {
        // Whole buffers only: a partial write would cut a packet in two.
        if (send(conn_, samples.data(), samples.size(), MSG_NOSIGNAL) <= 0) break;
        ssize_t n = recv(conn_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n == 0) break;
        continue;
      }
      pollfd readable{conn_, POLLIN, 0};
      if (poll(&readable, 1, 10) == 0) continue;  // look at `flood` again
      ssize_t n = recv(conn_, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
      size_t at = 0;
      out.clear();
      while (at + 2 <= pending.size() && at + 2 + pending[at + 1] <= pending.size()) {
        answer(pending.data() + at, out);
        at += 2 + pending[at + 1];
      }
      pending.erase(pending.begin(), pending.begin() + at);
      if (!out.empty()) send(conn_, out.data(), out.size(), MSG_NOSIGNAL);
    }
  }
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool isModelReply(const aPacket* p, void*) {
  return p->address == kAddress && p->length == 4 && p->data[0] == 3 && p->data[1] == 8;
}

void UEIPacket(benchmark::State& state) {
  Peer peer;
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  const uint8_t get[3] = {3, 0x48, 0x20};
  aPacket* request = aPacket_CreateWithData(kAddress, 3, get);
  for (auto _ : state) {
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, isModelReply, nullptr, 1000);
    if (reply == nullptr) {
      state.SkipWithError("lost reply");
      break;
    }
    aPacket_Destroy(&reply);
  }
  aPacket_Destroy(&request);
  aLink_Destroy(&id);
}
BENCHMARK(UEIPacket)->Name("UEI/Packet")->UseRealTime()->MinTime(2.0);

void UEILink(benchmark::State& state) {
  Peer peer;
  Link link(peer.spec(), "bench");
  if (link.connect() != aErrNone) return state.SkipWithError("no link");
  for (auto _ : state) {
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = 0x48;
    request.specifier = 0x20;
    link.sendUEI(request);
    uei reply{};
    reply.module = kAddress;
    reply.command = 3;
    reply.option = 8;
    if (link.receiveUEI(kAddress, 3, 8, 0, &reply) != aErrNone) {
      state.SkipWithError("lost reply");
      break;
    }
  }
}
BENCHMARK(UEILink)->Name("UEI/Link")->UseRealTime()->MinTime(2.0);

void UEIEntity(benchmark::State& state) {
  Peer peer;
  Module module(kAddress, false, 0);
  if (module.connectFromSpec(peer.spec()) != aErrNone) return state.SkipWithError("no link");
  SystemClass system;
  system.init(&module, 0);
  uint8_t model = 0;
  for (auto _ : state) {
    if (system.getModel(&model) != aErrNone) {
      state.SkipWithError("lost reply");
      break;
    }
  }
}
BENCHMARK(UEIEntity)->Name("UEI/Entity")->UseRealTime()->MinTime(2.0);

void UEICached(benchmark::State& state) {
  Peer peer;
  Module module(kAddress, false, 0);
  if (module.connectFromSpec(peer.spec()) != aErrNone) return state.SkipWithError("no link");
  SystemClass system;
  system.init(&module, 0);
  if (system.registerOptionCallback(8, true, {}, nullptr) != aErrNone) return state.SkipWithError("no stream");
  uint8_t model = 0;
  for (int i = 0; i < 100 && system.getModel(&model) != aErrNone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (auto _ : state) benchmark::DoNotOptimize(system.getModel(&model));
}
BENCHMARK(UEICached)->Name("UEI/Cached")->UseRealTime()->MinTime(1.0);

void BytesName(benchmark::State& state) {
  Peer peer;
  Module module(kAddress, false, 0);
  if (module.connectFromSpec(peer.spec()) != aErrNone) return state.SkipWithError("no link");
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[128];
  uint32_t length = 0;
  for (auto _ : state) {
    if (system.getName(name, sizeof name, &length) != aErrNone || length != 96) {
      state.SkipWithError("bad name");
      break;
    }
  }
}
BENCHMARK(BytesName)->Name("Bytes/Name")->UseRealTime()->MinTime(2.0);

void StreamCallbacks(benchmark::State& state) {
  Peer peer;
  Link link(peer.spec(), "bench");
  if (link.connect() != aErrNone) return state.SkipWithError("no link");
  std::atomic<uint64_t> calls{0};
  if (link.registerStreamCallback(kAddress, 3, 8, 0, true,
                                  [&](const aPacket*, void*) -> uint8_t {
                                    ++calls;
                                    return 0;
                                  },
                                  nullptr) != aErrNone)
    return state.SkipWithError("no stream");
  peer.flood = true;
  uint64_t start = calls.load();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  peer.flood = false;
  state.counters["callbacks/s"] =
      benchmark::Counter(static_cast<double>(calls.load() - start), benchmark::Counter::kIsRate);
  link.disconnect();
}
BENCHMARK(StreamCallbacks)->Name("Stream/Callbacks")->UseRealTime()->Iterations(20);

using Clock = std::chrono::steady_clock;

void UEIInterleaved(benchmark::State& state) {
  Peer peer;
  Module module(kAddress, false, 0);
  if (module.connectFromSpec(peer.spec()) != aErrNone) return state.SkipWithError("no link");
  // The same address and port: the engine hands out the module's link again.
  aLinkRef id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), peer.port());
  Link* link = module.getLink();
  SystemClass system;
  system.init(&module, 0);
  const uint8_t get[3] = {3, 0x48, 0x20};
  aPacket* request = aPacket_CreateWithData(kAddress, 3, get);
  double packetNs = 0, linkNs = 0, entityNs = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, isModelReply, nullptr, 1000);
    auto t1 = Clock::now();
    uei u{};
    u.module = kAddress;
    u.command = 3;
    u.option = 0x48;
    u.specifier = 0x20;
    link->sendUEI(u);
    u.option = 8;
    u.specifier = 0;
    aErr viaLink = link->receiveUEI(kAddress, 3, 8, 0, &u);
    auto t2 = Clock::now();
    uint8_t model = 0;
    aErr viaEntity = system.getModel(&model);
    auto t3 = Clock::now();
    if (reply == nullptr || viaLink != aErrNone || viaEntity != aErrNone) {
      state.SkipWithError("lost reply");
      break;
    }
    aPacket_Destroy(&reply);
    packetNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
    linkNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    entityNs += std::chrono::duration<double, std::nano>(t3 - t2).count();
  }
  double n = static_cast<double>(state.iterations());
  state.counters["packet_us"] = packetNs / n / 1000;
  state.counters["link_us"] = linkNs / n / 1000;
  state.counters["entity_us"] = entityNs / n / 1000;
  state.counters["link/packet"] = linkNs / packetNs;
  state.counters["entity/packet"] = entityNs / packetNs;
  interleaved = {packetNs / n, linkNs / n, entityNs / n};
  aPacket_Destroy(&request);
  aLink_Destroy(&id);
}
BENCHMARK(UEIInterleaved)->Name("UEI/Interleaved")->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double packet = reporter.time("UEI/Packet");
  if (packet > 0) {
    printf("UEI get: packet %.1f us, Link %.1f us (ratio %.2f), entity %.1f us (ratio %.2f), cached %.3f us\n",
         packet / 1000, reporter.time("UEI/Link") / 1000, reporter.ratio("UEI/Link", "UEI/Packet"),
         reporter.time("UEI/Entity") / 1000, reporter.ratio("UEI/Entity", "UEI/Packet"),
         reporter.time("UEI/Cached") / 1000);
    printf("byte block of 4 packets: %.1f us, %.2f UEI round trips\n", reporter.time("Bytes/Name") / 1000,
           reporter.ratio("Bytes/Name", "UEI/Packet"));
  }
  if (interleaved.packet > 0)
    printf("UEI get taken in turn: packet %.1f us, Link %.1f us (ratio %.2f), entity %.1f us (ratio %.2f)\n",
           interleaved.packet / 1000, interleaved.link / 1000, interleaved.link / interleaved.packet,
           interleaved.entity / 1000, interleaved.entity / interleaved.packet);
  benchmark::Shutdown();
  return 0;
}
