// The sharing server against the module stand-in (sim/module.py), each
// figure measured against its baseline in the same run:
//   RoundTrip/Direct    a UEI get (the model) on a TCP engine link
//   RoundTrip/Client    the same through a client link of a sharing server
//                       on that link (target: at most 2x Direct)
//   RoundTrip/RawSocket the same from a bare zmq socket (the server's share)
//   Clients/1, /4       UEI gets per second with one and with four client
//                       links asking at once (target: four reach at least
//                       80 % of one client's rate)
// sharing_usb_bench measures the round trips on an emulated USB module.
// Runs only inside scripts/netns: the server answers discovery.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "bench/common/RatioReporter.h"
#include <czmq.h>

#include "link/api/aServer.h"
#include "link/core/aLink.h"
#include "bench/sharing/ModelGet.h"
#include "tests/unit/link_engine/standin.h"
#include "tests/support/Netns.h"

namespace {

// The stand-in, a TCP link to it and, when asked, a server on that link.
struct Module {
  explicit Module(bool shared) {
    link = aLink_CreateTCPIP(StandIn::loopback(), standIn.tcpPort());
    if (link == 0 || !shared) return;
    server = aServer_Create(link, 0, true);
    if (server == nullptr || aServer_Start(server) != aErrNone) return;
    aServer_GetPort(server, &port);
    aServer_GetInterface(server, &address);
    aServer_SetModel(server, 0x11);
  }
  ~Module() {
    if (server != nullptr) aServer_Destroy(&server);
    if (link != 0) aLink_Destroy(&link);
  }
  aLinkRef client() const { return port != 0 ? aLink_CreateClient(address, port, 0) : 0; }

  StandIn standIn;
  aLinkRef link = 0;
  aServer* server = nullptr;
  uint16_t port = 0;
  uint32_t address = 0;
};

void RoundTrip(benchmark::State& state, bool shared) {
  Module module(shared);
  aLinkRef id = shared ? module.client() : module.link;
  aPacket* request = sModelRequest();
  if (id == 0 || !sModelGet(id, request)) {
    state.SkipWithError("no link");
  } else {
    for (auto _ : state) {
      if (!sModelGet(id, request)) {
        state.SkipWithError("lost reply");
        break;
      }
    }
  }
  aPacket_Destroy(&request);
  if (shared && id != 0) aLink_Destroy(&id);
}
BENCHMARK_CAPTURE(RoundTrip, Direct, false)->Name("RoundTrip/Direct")->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(RoundTrip, Client, true)->Name("RoundTrip/Client")->UseRealTime()->MinTime(2.0);

// The same get from a bare zmq DEALER: the server's share of the cost
// without the client stream's.
void RawSocketTrip(benchmark::State& state) {
  Module module(true);
  zsock_t* socket = zsock_new(ZMQ_DEALER);
  zsock_connect(socket, "tcp://127.0.0.1:%u", static_cast<unsigned>(module.port));
  const uint8_t request[5] = {kAddress, 3, 3, 0x48, 0x20};
  uint8_t reply[64];
  for (auto _ : state) {
    zmq_send(zsock_resolve(socket), request, sizeof request, 0);
    if (zmq_recv(zsock_resolve(socket), reply, sizeof reply, 0) != 6) {
      state.SkipWithError("lost reply");
      break;
    }
  }
  zsock_destroy(&socket);
}
BENCHMARK(RawSocketTrip)->Name("RoundTrip/RawSocket")->UseRealTime()->MinTime(2.0);

// Each iteration: every client asks kPerClient gets at once; the time per
// iteration divided into the requests gives the rate.
constexpr int kPerClient = 50;

void Clients(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  Module module(true);
  std::vector<aLinkRef> clients;
  for (int i = 0; i < count; ++i) clients.push_back(module.client());
  aPacket* request = sModelRequest();
  for (aLinkRef id : clients) {
    if (id == 0 || !sModelGet(id, request)) state.SkipWithError("no client link");
  }
  std::atomic<int> lost{0};
  int64_t requests = 0;
  for (auto _ : state) {
    if (lost != 0) break;
    std::vector<std::thread> askers;
    for (aLinkRef id : clients) {
      askers.emplace_back([id, request, &lost] {
        for (int i = 0; i < kPerClient; ++i) {
          if (!sModelGet(id, request)) ++lost;
        }
      });
    }
    for (std::thread& asker : askers) asker.join();
    requests += static_cast<int64_t>(count) * kPerClient;
  }
  if (lost != 0) state.SkipWithError("lost replies");
  state.counters["requests/s"] = benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  aPacket_Destroy(&request);
  for (aLinkRef& id : clients) aLink_Destroy(&id);
}
BENCHMARK(Clients)->Name("Clients/1")->Arg(1)->UseRealTime()->MinTime(3.0);
BENCHMARK(Clients)->Name("Clients/4")->Arg(4)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  if (!tvInsideNetns()) {
    fprintf(stderr, "sharing_bench runs only inside scripts/netns\n");
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("round trip: direct %.1f us, through the server %.1f us, ratio %.2f (target <= 2); "
         "bare zmq socket %.1f us\n",
         reporter.time("RoundTrip/Direct") / 1000, reporter.time("RoundTrip/Client") / 1000,
         reporter.ratio("RoundTrip/Client", "RoundTrip/Direct"), reporter.time("RoundTrip/RawSocket") / 1000);
  // Per iteration four clients ask four times as many requests as one.
  double one = reporter.time("Clients/1");
  double four = reporter.time("Clients/4");
  double share = four > 0 ? 4.0 * one / four : 0;
  printf("four clients: %.0f%% of one client's requests per second (target >= 80%%)\n", 100.0 * share);
  benchmark::Shutdown();
  return 0;
}
