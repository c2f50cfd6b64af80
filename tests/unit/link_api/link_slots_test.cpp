// Store slots and factory data of a Link; the stand-in plays the device's
// replies, queued ahead of the requests they answer.
#include <numeric>

#include "api_fixture.h"

using namespace apitest;

namespace {

constexpr uint8_t kHandle = 7;

uint8_t sum(const Bytes& bytes) { return std::accumulate(bytes.begin(), bytes.end(), uint8_t{0}); }

class StoreSlot : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    silence({4});
  }
};

class FactoryData : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    silence({0x5E});
  }
};

}  // namespace

TEST_F(StoreSlot, CapacityAndSizeAreSixteenBitAnswersOrDeviceErrors) {
  inject({{4, 1, 1, 2, 0x01, 0x00}, {4, 0x82, 1, 2, aErrRange}, {4, 2, 1, 3, 5}});
  uint32_t value = 0;
  ASSERT_EQ(link.storeSlotCapacity(kAddress, 1, 2, &value), aErrNone);
  EXPECT_EQ(value, 256u);
  EXPECT_EQ(link.storeSlotSize(kAddress, 1, 2, &value), aErrRange);
  EXPECT_EQ(link.storeSlotSize(kAddress, 1, 3, &value), aErrUnknown);  // 5 bytes: no 16-bit answer
  EXPECT_EQ(link.storeSlotSize(kAddress, 1, 4, &value), aErrTimeout);
  EXPECT_EQ(awaitRequests(4).at(0), "020404010102");
}

TEST_F(StoreSlot, LoadWritesAcknowledgedChunksOf25AndCloses) {
  Bytes image(60);
  std::iota(image.begin(), image.end(), 100);
  Bytes a(image.begin(), image.begin() + 25), b(image.begin() + 25, image.begin() + 50),
      c(image.begin() + 50, image.end());
  inject({{4, 4, 0, 1, kHandle}, {4, 7, kHandle, sum(a)}, {4, 7, kHandle, sum(b)}, {4, 7, kHandle, sum(c)},
          {4, 8, kHandle, 0}});
  ASSERT_EQ(link.loadStoreSlot(kAddress, 0, 1, image.data(), 60), aErrNone);
  std::vector<std::string> sent = awaitRequests(5);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], "020404040001");
  EXPECT_EQ(sent[1], "021c0407" + hex({kHandle}) + hex(a));
  EXPECT_EQ(sent[3], "020d0407" + hex({kHandle}) + hex(c));
  EXPECT_EQ(sent[4], "0203040807");
}

TEST_F(StoreSlot, LoadStopsAtABadChecksumAndStillCloses) {
  Bytes image(30, 1);
  inject({{4, 4, 0, 1, kHandle}, {4, 7, kHandle, 0x00}, {4, 8, kHandle, 0}});
  EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 1, image.data(), 30), aErrIO);
  std::vector<std::string> sent = awaitRequests(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], "0203040807");
}

TEST_F(StoreSlot, OpeningFailuresAreMediaErrors) {
  inject({{4, 0x84, 0, 1, aErrBusy}});
  uint8_t byte = 0;
  EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 1, &byte, 1), aErrMedia);
  inject({{4, 2, 0, 1, 0, 4}});  // size, then no answer to the opening
  uint32_t unloaded = 0;
  uint8_t out[8];
  EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 1, out, sizeof out, &unloaded), aErrMedia);
}

TEST_F(StoreSlot, UnloadReadsUpToTheSmallerOfBufferAndSlot) {
  inject({{4, 2, 0, 1, 0, 10}, {4, 3, 0, 1, kHandle}, {4, 6, kHandle, 1, 2, 3, 4, 5, 6},
          {4, 6, kHandle, 7, 8, 9, 10}, {4, 8, kHandle, 0}});
  uint8_t out[16] = {};
  uint32_t unloaded = 0;
  ASSERT_EQ(link.unloadStoreSlot(kAddress, 0, 1, out, sizeof out, &unloaded), aErrNone);
  EXPECT_EQ(unloaded, 10u);
  EXPECT_EQ(Bytes(out, out + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // A buffer smaller than the slot: what fits, and an overrun.
  inject({{4, 2, 0, 1, 0, 10}, {4, 3, 0, 1, kHandle}, {4, 6, kHandle, 1, 2, 3, 4, 5, 6}, {4, 8, kHandle, 0}});
  uint8_t small[4] = {};
  EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 1, small, sizeof small, &unloaded), aErrOverrun);
  EXPECT_EQ(unloaded, 4u);
  EXPECT_EQ(Bytes(small, small + 4), (Bytes{1, 2, 3, 4}));
}

TEST_F(StoreSlot, AMalformedCloseIsAnIOErrorAndAMissingOneIsSuccess) {
  inject({{4, 4, 0, 1, kHandle}, {4, 8, kHandle, 0, 0}});
  EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 1, nullptr, 0), aErrIO);
  inject({{4, 4, 0, 1, kHandle}});
  EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 1, nullptr, 0), aErrNone);
}

TEST_F(FactoryData, ReadGathersFullPacketsAndClosesWithTheCount) {
  Bytes first(26, 0xA0), rest = {1, 2, 3};
  Bytes full = {0x5E, 3};
  full.insert(full.end(), first.begin(), first.end());
  Bytes tail = {0x5E, 3};
  tail.insert(tail.end(), rest.begin(), rest.end());
  inject({full, tail, {0x5E, 0}});
  uint8_t out[64] = {};
  uint32_t length = 0;
  ASSERT_EQ(link.getFactoryData(kAddress, 3, out, sizeof out, &length), aErrNone);
  EXPECT_EQ(length, 29u);
  EXPECT_EQ(out[25], 0xA0);
  EXPECT_EQ(out[28], 3);
  std::vector<std::string> sent = awaitRequests(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], "02025e43");
  EXPECT_EQ(sent[1], "02025e03");
  EXPECT_EQ(sent[2], "02045e20001d");
}

TEST_F(FactoryData, ABufferExactlyAsLargeAsTheDataOverruns) {
  inject({{0x5E, 1, 9, 8, 7}, {0x5E, 0}});
  uint8_t out[4] = {};
  uint32_t length = 0;
  EXPECT_EQ(link.getFactoryData(kAddress, 1, out, 3, &length), aErrOverrun);
  module("clear");
  inject({{0x5E, 1, 9, 8, 7}, {0x5E, 0}});
  ASSERT_EQ(link.getFactoryData(kAddress, 1, out, 4, &length), aErrNone);
  EXPECT_EQ(length, 3u);
  inject({{0x5E, 0x81, aErrPermission}});
  EXPECT_EQ(link.getFactoryData(kAddress, 1, out, 4, &length), aErrPermission);
}

TEST_F(FactoryData, WriteSendsChunksOf26ThenTheClosingCount) {
  Bytes data(30);
  std::iota(data.begin(), data.end(), 0);
  inject({{0x5E, 2}, {0x5E, 2}, {0x5E, 0}});
  ASSERT_EQ(link.setFactoryData(kAddress, 2, data.data(), 30), aErrNone);
  std::vector<std::string> sent = awaitRequests(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], "021c5e52" + hex(Bytes(data.begin(), data.begin() + 26)));
  EXPECT_EQ(sent[1], "02065e12" + hex(Bytes(data.begin() + 26, data.end())));
  EXPECT_EQ(sent[2], "02045e20001e");

  inject({{0x5E, 0x82, aErrBusy}});  // an error reply is no acknowledgement
  EXPECT_EQ(link.setFactoryData(kAddress, 2, data.data(), 30), aErrSize);
}
