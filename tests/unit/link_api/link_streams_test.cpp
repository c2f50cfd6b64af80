// Stream subscriptions: the engine's receiving thread filters samples into
// the stream table and the callback worker; the stand-in sends the samples.
#include <atomic>
#include <future>
#include <thread>

#include "api_fixture.h"
#include "link/api/SystemClass.h"

using namespace apitest;
using namespace Veltrane::Tolvarine;

namespace {

constexpr uint8_t kCmd = 3, kOption = 12, kIndex = 0;

// A 32-bit sample of (kCmd, option, index), or a byte sample with `kind` 1.
Bytes sample(uint32_t value, uint8_t option = kOption, uint8_t kind = 3) {
  Bytes d = {kCmd, option, 0x40 | kIndex, kind, 0, 0, 0, 1, 0, 0, 0, 2};
  if (kind == 1) {
    d.push_back(static_cast<uint8_t>(value));
  } else {
    for (int i = 3; i >= 0; --i) d.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  d.push_back(0);
  return d;
}

const Bytes kEnabled = {0x5D, 0xC1, 0x00};
const Bytes kDisabled = {0x5D, 0xC2, 0x00};

class Streams : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    silence({0x5D});
  }
  aErr subscribe(uint8_t option = kOption, Link::streamCallback callback = {}, void* ref = nullptr) {
    inject({kEnabled});
    return link.registerStreamCallback(kAddress, kCmd, option, kIndex, true, std::move(callback), ref);
  }
};

}  // namespace

TEST_F(Streams, RegistrationAsksTheModuleWithTheKeyAndKeepsFreshThenStaleValues) {
  ASSERT_EQ(subscribe(), aErrNone);
  EXPECT_EQ(awaitRequests(1).at(0), "02075d812002030c00");
  EXPECT_EQ(link.filterActiveStreamKeys(kAddress, 255, 255, 255, 255),
            (std::vector<uint64_t>{Link::createStreamKey(kAddress, kCmd, kOption, kIndex, 255)}));
  inject({sample(0xCAFE0001)});
  settle();
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, kOption, kIndex, 0, &value), aErrNone);
  EXPECT_EQ(value, 0xCAFE0001u);
  value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, kOption, kIndex, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 0xCAFE0001u);
  inject({sample(5)});
  settle();
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, kOption, kIndex, 0, &value), aErrNone);
  EXPECT_EQ(value, 5u);
}

TEST_F(Streams, CallbacksRunOnTheWorkerWithTheirReference) {
  std::promise<std::pair<std::thread::id, uint32_t>> seen;
  int ref = 0;
  ASSERT_EQ(subscribe(kOption,
                      [&](const aPacket* p, void* r) -> uint8_t {
                        uint32_t v = 0;
                        Link::getStreamSample(p, nullptr, &v, nullptr);
                        if (r == &ref) seen.set_value({std::this_thread::get_id(), v});
                        return 0;
                      },
                      &ref),
            aErrNone);
  inject({sample(77)});
  auto future = seen.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  auto [thread, value] = future.get();
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(value, 77u);
  link.disconnect();  // the worker ends before the promise does
}

TEST_F(Streams, AWildcardRegistrationCreatesExactEntriesWithoutCallbacks) {
  ASSERT_EQ(subscribe(255), aErrNone);
  inject({sample(1, 12), sample(2, 13, 1)});
  settle();
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, 13, kIndex, 0, &value), aErrNone);
  EXPECT_EQ(value, 2u);
  Link::StreamStatusEntry entries[2];
  uint32_t written = 0;
  ASSERT_EQ(link.getStreamStatus(kAddress, 255, 255, 255, 255, entries, 2, &written), aErrNone);
  ASSERT_EQ(written, 2u);  // the wildcard key itself is not listed
  EXPECT_EQ(entries[0].key, Link::createStreamKey(kAddress, kCmd, 12, kIndex, 0));
  EXPECT_EQ(entries[1].value, 2u);
  EXPECT_EQ(link.getStreamStatus(kAddress, 255, 255, 255, 255, entries, 1, &written), aErrSize);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(link.getStreamStatus(kAddress, 255, 255, 255, 255, nullptr, 1, &written), aErrParam);
}

TEST_F(Streams, ARegistrationTheModuleRefusesLeavesNoEntry) {
  inject({{0x5D, 0xC1, 0x80, aErrUnimplemented}});
  EXPECT_EQ(link.registerStreamCallback(kAddress, kCmd, kOption, kIndex, true, {}, nullptr), aErrUnimplemented);
  EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255).empty());
  EXPECT_EQ(link.enableStream(kAddress, kCmd, kOption, kIndex, true), aErrTimeout);  // no answer at all
  EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255).empty());
}

TEST_F(Streams, StreamPacketsNeverReachTheQueueEvenWhenNoSample) {
  ASSERT_EQ(subscribe(), aErrNone);
  Bytes bad = sample(9);
  bad.insert(bad.end() - 1, 0);  // one byte too many for its kind
  inject({bad});
  settle();
  uint8_t match[1] = {kCmd}, length = 1, data[aPACKET_MAX_DATA];
  EXPECT_EQ(link.receivePacket(kAddress, match, &length, data), aErrTimeout);
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, kOption, kIndex, 0, &value), aErrNotFound);
}

TEST_F(Streams, WithTheQueueFullFurtherNotificationsAreDropped) {
  std::promise<void> entered, release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<int> calls{0};
  ASSERT_EQ(subscribe(kOption,
                      [&](const aPacket*, void*) -> uint8_t {
                        if (calls++ == 0) {
                          entered.set_value();
                          gate.wait();
                        }
                        return 0;
                      }),
            aErrNone);
  inject({sample(0)});
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(3)), std::future_status::ready);
  std::vector<Bytes> burst;
  for (uint32_t i = 1; i <= 600; ++i) burst.push_back(sample(i));
  injectAll(burst);
  settle();
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kCmd, kOption, kIndex, 0, &value), aErrNone);
  EXPECT_EQ(value, 600u);  // the table keeps up even when callbacks cannot
  release.set_value();
  for (int i = 0; i < 300 && calls < 500; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls.load(), 1 + 499);
  link.disconnect();
}

TEST_F(Streams, DisablingRemovesTheKeysAndStreamPacketsQueueAgain) {
  ASSERT_EQ(subscribe(), aErrNone);
  inject({sample(1)});
  settle();
  inject({kDisabled});
  ASSERT_EQ(link.enableStream(kAddress, kCmd, kOption, kIndex, false), aErrNone);
  EXPECT_EQ(awaitRequests(3).at(2), "02075d822002030c00");
  EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255).empty());
  inject({sample(2)});
  uint8_t match[2] = {kCmd, kOption}, length = 2, data[aPACKET_MAX_DATA];
  ASSERT_EQ(link.receivePacket(kAddress, match, &length, data), aErrNone);
  EXPECT_EQ(length, 17);
}

TEST_F(Streams, ALinkDestroyedWithNotificationsWaitingReleasesThem) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  auto streaming = std::make_unique<Link>("streaming");
  ASSERT_EQ(streaming->setLinkSpecifier(tcpSpec(module.tcpPort())), aErrNone);
  ASSERT_EQ(streaming->connect(), aErrNone);  // one more use of the same engine link
  inject({kEnabled});
  ASSERT_EQ(streaming->registerStreamCallback(
                kAddress, kCmd, kOption, kIndex, true,
                [gate](const aPacket*, void*) -> uint8_t {
                  gate.wait_for(std::chrono::milliseconds(200));
                  return 0;
                },
                nullptr),
            aErrNone);
  injectAll({sample(1), sample(2), sample(3), sample(4)});
  settle();
  release.set_value();
  streaming.reset();  // the worker ends and the queued copies go with it
  EXPECT_TRUE(link.isConnected());
}

// The engine link outlives a Link that shared it: disconnecting must take
// the stream filter off it, or the engine would call into a freed Link.
TEST_F(Streams, DisconnectingASharingLinkTakesItsStreamFilterAway) {
  auto streaming = std::make_unique<Link>("streaming");
  ASSERT_EQ(streaming->setLinkSpecifier(tcpSpec(module.tcpPort())), aErrNone);
  ASSERT_EQ(streaming->connect(), aErrNone);
  inject({kEnabled});
  ASSERT_EQ(streaming->enableStream(kAddress, kCmd, kOption, kIndex, true), aErrNone);
  ASSERT_EQ(streaming->disconnect(), aErrNone);
  streaming.reset();
  inject({sample(3)});
  uint8_t match[2] = {kCmd, kOption}, length = 2, data[aPACKET_MAX_DATA];
  ASSERT_EQ(link.receivePacket(kAddress, match, &length, data), aErrNone);
  EXPECT_EQ(data[15], 3);  // the value's low byte
}

TEST_F(Streams, TheModuleTellsWhetherItStreams) {
  inject({{0x5D, 0x01, 0x00, 1}});
  uint8_t state = 0;
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(awaitRequests(1).at(0), "02035d4120");
}

// The entity's typed get answers from the stream table without a request.
TEST(EntityStreams, TypedGetsOfAStreamingValueSendNothing) {
  StandIn module;
  Module device(2, false, 0);
  ASSERT_EQ(device.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  SystemClass system;
  system.init(&device, 0);
  module("fault silent 93 always");
  module("send " + hex(wire(2, {0x5D, 0xC1, 0x00})));
  ASSERT_EQ(system.registerOptionCallback(22, true, {}, nullptr), aErrNone);  // uptime
  Bytes uptime = {3, 22, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0};
  module("send " + hex(wire(2, uptime)));
  uint8_t check[2] = {0x11, 0x22};
  ASSERT_EQ(device.debug(check, 2), aErrNone);  // the sample is in
  module("clear");
  uint32_t minutes = 0;
  EXPECT_EQ(system.getUptime(&minutes), aErrNone);
  EXPECT_EQ(minutes, 256u);
  EXPECT_EQ(system.getUptime(&minutes), aErrStreamStale);
  EXPECT_EQ(minutes, 256u);
  ASSERT_EQ(device.debug(check, 2), aErrNone);
  EXPECT_EQ(module("packets"), (std::vector<std::string>{"0203171122"}));
}
