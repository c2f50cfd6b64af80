#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/core/aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* makePacket(uint8_t address, uint8_t tag) {
  uint8_t data[2] = {23, tag};
  return aPacket_CreateWithData(address, 2, data);
}

void put(aPacketFifoHandle fifo, uint8_t tag) {
  aPacket* p = makePacket(2, tag);
  ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  aPacket_Destroy(&p);
}

uint8_t tagOf(aPacket* p) {
  uint8_t tag = p->data[1];
  aPacket_Destroy(&p);
  return tag;
}

// Must stay the first test of this file: it relies on no queue existing yet
// in the process (each test runs in its own process under ctest).
TEST(PacketFifo, HandlesCountFromOne) {
  aPacketFifoHandle first = aPacketFifo_Create();
  aPacketFifoHandle second = aPacketFifo_Create();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  aPacketFifo_Destroy(&first);
  aPacketFifo_Destroy(&second);
  EXPECT_EQ(first, 0u);
}

TEST(PacketFifo, KeepsOrderAndCopies) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  aPacket* mine = makePacket(4, 1);
  ASSERT_EQ(aPacketFifo_Put(fifo, mine), aErrNone);
  mine->data[1] = 99;  // the queue holds its own copy
  put(fifo, 2);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 1);
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 2);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  aPacket_Destroy(&mine);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, OverflowEmptiesTheQueueSilently) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  for (int i = 0; i < 1000; ++i) put(fifo, static_cast<uint8_t>(i));
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
  put(fifo, 0xFF);  // the 1001st: reported as success, queue emptied
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  put(fifo, 7);  // and the queue still works afterwards
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 7);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, AwaitZeroAnswersAtOnce) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  put(fifo, 5);
  put(fifo, 6);
  EXPECT_EQ(tagOf(aPacketFifo_Await(fifo, 0)), 5);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, AwaitTimesOutAndWakesOnPut) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 80), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(75));
  std::thread producer([fifo] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    put(fifo, 9);
  });
  start = Clock::now();
  aPacket* got = aPacketFifo_Await(fifo, 5000);
  ASSERT_NE(got, nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(tagOf(got), 9);
  producer.join();
  aPacketFifo_Destroy(&fifo);
}


bool never(const aPacket*, void*) { return false; }

class DestroyWakes : public ::testing::TestWithParam<bool> {};

TEST_P(DestroyWakes, WaiterReturnsPromptly) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  std::atomic<bool> returned{false};
  std::atomic<bool> gotNull{false};
  bool first = GetParam();
  std::thread waiter([&] {
    aPacket* p = first ? aPacketFifo_AwaitFirst(fifo, never, nullptr, 10000) : aPacketFifo_Await(fifo, 10000);
    gotNull = p == nullptr;
    if (p) aPacket_Destroy(&p);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  aPacketFifoHandle handle = fifo;
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  EXPECT_EQ(handle, 0u);
  waiter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(returned);
  EXPECT_TRUE(gotNull);
  // The destroyed handle is unknown to every operation.
  aPacket* p = makePacket(2, 1);
  EXPECT_EQ(aPacketFifo_Put(fifo, p), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, never, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNotFound);
  aPacket_Destroy(&p);
}

INSTANTIATE_TEST_SUITE_P(AwaitAndAwaitFirst, DestroyWakes, ::testing::Values(false, true));

// A link's stop closes its queues: a waiter with no time-out to speak of is
// woken, later waits answer at once, and what is queued can still be taken.
class CloseWakes : public ::testing::TestWithParam<bool> {};

TEST_P(CloseWakes, WaitersAndLaterWaitsEndWhatIsQueuedStays) {
  constexpr uint32_t kForever = 0xFFFFFFFFu;
  aPacketFifoHandle fifo = aPacketFifo_Create();
  bool first = GetParam();
  auto await = [&] {
    return first ? aPacketFifo_AwaitFirst(fifo, never, nullptr, kForever) : aPacketFifo_Await(fifo, kForever);
  };
  std::atomic<bool> gotNull{false};
  std::thread waiter([&] {
    aPacket* p = await();
    gotNull = p == nullptr;
    if (p) aPacket_Destroy(&p);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(aPacketFifo_Close(fifo), aErrNone);
  waiter.join();
  EXPECT_TRUE(gotNull);
  EXPECT_EQ(await(), nullptr);
  put(fifo, 7);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
  if (!first) {
    EXPECT_EQ(tagOf(aPacketFifo_Await(fifo, kForever)), 7);
  }
  aPacketFifo_Destroy(&fifo);
  EXPECT_EQ(aPacketFifo_Close(fifo), aErrNotFound);
}

INSTANTIATE_TEST_SUITE_P(AwaitAndAwaitFirst, CloseWakes, ::testing::Values(false, true));

struct Offers {
  std::atomic<int> calls{0};
  uint8_t wanted;
};

bool countingMatch(const aPacket* p, void* reference) {
  Offers* offers = static_cast<Offers*>(reference);
  ++offers->calls;
  return p->data[1] == offers->wanted;
}

TEST(PacketFifo, AwaitFirstOffersEachPacketOnce) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  put(fifo, 1);
  put(fifo, 2);
  put(fifo, 3);
  Offers offers;
  offers.wanted = 4;
  std::thread producer([fifo] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    put(fifo, 4);
  });
  aPacket* got = aPacketFifo_AwaitFirst(fifo, countingMatch, &offers, 5000);
  producer.join();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(tagOf(got), 4);
  EXPECT_EQ(offers.calls, 4);
  // The packets that did not match stay, in order.
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 1);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, AwaitFirstSeesLaterArrivalsOnceEachAcrossManyWakeUps) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  Offers offers;
  offers.wanted = 50;
  std::thread producer([fifo] {
    for (uint8_t i = 1; i <= 50; ++i) {
      put(fifo, i);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  aPacket* got = aPacketFifo_AwaitFirst(fifo, countingMatch, &offers, 5000);
  producer.join();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(tagOf(got), 50);
  EXPECT_EQ(offers.calls, 50);
  aPacketFifo_Destroy(&fifo);
}

// Refused packets put while a filtered await waits must neither be taken by
// it when it times out nor be lost: they stay queued, in order.
TEST(PacketFifo, AwaitFirstThatTimesOutTakesNothingAndLeavesRefusedPacketsQueued) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  put(fifo, 1);
  Offers offers;
  offers.wanted = 200;  // never put
  std::thread producer([fifo] {
    for (uint8_t i = 2; i <= 40; ++i) {
      put(fifo, i);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  aPacket* got = aPacketFifo_AwaitFirst(fifo, countingMatch, &offers, 150);
  producer.join();
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(aPacketFifo_GetLength(fifo), 40u);
  for (uint8_t i = 1; i <= 40; ++i) EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), i);
  aPacketFifo_Destroy(&fifo);
}

bool isEven(const aPacket* p, void*) { return p->data[1] % 2 == 0; }
bool always(const aPacket*, void*) { return true; }

TEST(PacketFifo, GetFirstAndDrain) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  for (uint8_t i = 1; i <= 6; ++i) put(fifo, i);
  EXPECT_EQ(tagOf(aPacketFifo_GetFirst(fifo, isEven, nullptr)), 2);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, never, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, isEven, nullptr), 2u);  // 4 and 6
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 1);
  EXPECT_EQ(tagOf(aPacketFifo_Get(fifo)), 3);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, always, nullptr), 1u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, RefusesDestroyedPacketAndNullHandleAddress) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  aPacket* p = makePacket(2, 1);
  p->check = 0;
  EXPECT_EQ(aPacketFifo_Put(fifo, p), aErrParam);
  p->check = aPACKET_CHECK;
  aPacket_Destroy(&p);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, ManyProducersOneConsumerLoseNothing) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([fifo] {
      for (int i = 0; i < 200; ++i) put(fifo, 1);
    });
  int taken = 0;
  while (taken < 800) {
    aPacket* p = aPacketFifo_Await(fifo, 2000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    ++taken;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  aPacketFifo_Destroy(&fifo);
}

}  // namespace
