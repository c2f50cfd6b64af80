// The single-producer single-consumer ring under the stream worker.
#include <gtest/gtest.h>

#include <thread>

#include "link/api/LocklessQueue_SPSC.h"

using Veltrane::LocklessQueue_SPSC;

TEST(SpscQueue, HoldsOneLessThanItsSlotsAndKeepsOrderAcrossTheWrap) {
  LocklessQueue_SPSC<int> queue(500);
  int value = 0;
  EXPECT_FALSE(queue.pop(value));
  for (int i = 0; i < 499; ++i) ASSERT_TRUE(queue.push(i)) << i;
  EXPECT_FALSE(queue.push(499));
  EXPECT_EQ(queue.size(), 499);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(queue.pop(value));
      ASSERT_EQ(value, round * 300 + i);
    }
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(queue.push(499 + round * 300 + i));
    EXPECT_FALSE(queue.push(-1));
  }
}

TEST(SpscQueue, OneProducerAndOneConsumerSeeEveryValueOnceInOrder) {
  LocklessQueue_SPSC<uint32_t> queue(16);
  constexpr uint32_t kCount = 200000;
  std::thread producer([&] {
    for (uint32_t i = 0; i < kCount;) {
      if (queue.push(i)) ++i;
      else std::this_thread::yield();
    }
  });
  uint32_t expected = 0, value = 0;
  while (expected < kCount) {
    if (!queue.pop(value)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(value, expected);
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(queue.empty());
}
