// Multi-packet byte-block writes: each client's chunks reach the module as
// one unbroken run; an unfinished block dies after 2,000 further packets.
#include "sharing_helpers.h"

namespace {

using namespace sharetest;

constexpr uint8_t kBlock = 0x30;  // a UEI command the stand-in leaves unanswered

class Pooling : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NETNS();
    ASSERT_TRUE(shared.ready);
    shared.module("clear");
  }
  // The reply the module would give to a block write's last chunk.
  void answerBlock() { shared.moduleSends({kAddress, 3, kBlock, 0xC5, 0x00}); }
  // Waits until the client's earlier packets have all been seen by the
  // server: an echo comes back only after them.
  void settle(RawClient& client, uint8_t tag) { ASSERT_EQ(client.ask(Echo(tag)), Echo(tag)); }
  SharedModule shared;
};

int indexOf(const std::vector<std::string>& packets, const Bytes& packet) {
  auto at = std::find(packets.begin(), packets.end(), Hex(packet));
  return at == packets.end() ? -1 : static_cast<int>(at - packets.begin());
}

TEST_F(Pooling, TwoClientsBlocksEachArriveUnbroken) {
  RawClient a(shared.address, shared.port);
  RawClient b(shared.address, shared.port);
  std::vector<Bytes> blockA, blockB;
  for (uint8_t seq = 0; seq < 4; ++seq) {
    blockA.push_back(Chunk(kBlock, seq, true, 0xA0));
    blockB.push_back(Chunk(kBlock, seq, true, 0xB0));
  }
  blockA.push_back(Chunk(kBlock, 4, false, 0xA0, 10));
  blockB.push_back(Chunk(kBlock, 4, false, 0xB0, 10));
  for (size_t i = 0; i < blockA.size(); ++i) {
    a.send(blockA[i]);
    b.send(blockB[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // interleave on the server
  }
  // Whichever block is forwarded first waits for its reply, then the other.
  auto forwarded = [&](const Bytes& last) { return indexOf(shared.received(), last) >= 0; };
  auto either = [&] { return forwarded(blockA.back()) || forwarded(blockB.back()); };
  for (int waited = 0; !either() && waited < 3000; waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(either());
  const Bytes& second = forwarded(blockA.back()) ? blockB.back() : blockA.back();
  answerBlock();
  ASSERT_TRUE(shared.waitForPacket(Hex(second)));
  answerBlock();
  auto packets = shared.received();
  for (const auto* block : {&blockA, &blockB}) {
    int first = indexOf(packets, block->front());
    ASSERT_GE(first, 0);
    for (size_t i = 0; i < block->size(); ++i) EXPECT_EQ(indexOf(packets, (*block)[i]), first + static_cast<int>(i));
  }
  // Each client gets the one reply to its own block.
  Bytes reply = {kAddress, 3, kBlock, 0xC5, 0x00};
  EXPECT_EQ(a.receive(), reply);
  EXPECT_EQ(b.receive(), reply);
}

TEST_F(Pooling, ChunksAreHeldUntilTheLastOne) {
  RawClient a(shared.address, shared.port);
  a.send(Chunk(kBlock, 0, true, 1));
  a.send(Chunk(kBlock, 1, true, 2));
  settle(a, 1);
  EXPECT_EQ(indexOf(shared.received(), Chunk(kBlock, 0, true, 1)), -1);
  a.send(Chunk(kBlock, 2, false, 3, 4));
  ASSERT_TRUE(shared.waitForPacket(Hex(Chunk(kBlock, 2, false, 3, 4))));
  auto packets = shared.received();
  EXPECT_GE(indexOf(packets, Chunk(kBlock, 0, true, 1)), 0);
  EXPECT_GE(indexOf(packets, Chunk(kBlock, 1, true, 2)), 0);
}

TEST_F(Pooling, ChunkOutOfSequenceIsDropped) {
  RawClient a(shared.address, shared.port);
  a.send(Chunk(kBlock, 0, true, 1));
  a.send(Chunk(kBlock, 2, true, 2));  // 1 was expected
  a.send(Chunk(kBlock, 1, false, 3, 4));
  ASSERT_TRUE(shared.waitForPacket(Hex(Chunk(kBlock, 1, false, 3, 4))));
  auto packets = shared.received();
  EXPECT_GE(indexOf(packets, Chunk(kBlock, 0, true, 1)), 0);
  EXPECT_EQ(indexOf(packets, Chunk(kBlock, 2, true, 2)), -1);
}

// A opens a block; `routed` blocked packets from B follow, then one echo
// from each side to be sure all were seen; then A's last chunk. Every
// client packet after the first chunk ages the pool by one.
void openAgeAndFinish(SharedModule& shared, int routed, uint8_t fill) {
  RawClient a(shared.address, shared.port);
  RawClient b(shared.address, shared.port);
  a.send(Chunk(kBlock, 0, true, fill));
  ASSERT_EQ(a.ask(Echo(1)), Echo(1));
  for (int i = 0; i < routed; ++i) b.send({0xAF, 1, 1});  // never forwarded
  ASSERT_EQ(b.ask(Echo(2), 10000), Echo(2));
  a.send(Chunk(kBlock, 1, false, fill, 4));
  ASSERT_TRUE(shared.waitForPacket(Hex(Chunk(kBlock, 1, false, fill, 4))));
}

TEST_F(Pooling, PoolLivesThroughTwoThousandPackets) {
  // 1 + 1997 + 1 packets after the first chunk; the last chunk is the 2,000th.
  openAgeAndFinish(shared, 1997, 0x11);
  auto packets = shared.received();
  int first = indexOf(packets, Chunk(kBlock, 0, true, 0x11));
  ASSERT_GE(first, 0);
  EXPECT_EQ(indexOf(packets, Chunk(kBlock, 1, false, 0x11, 4)), first + 1);
}

TEST_F(Pooling, StalePoolDiesAfterTwoThousandFurtherPackets) {
  // The last chunk is the 2,001st: the pool is gone and it goes on alone.
  openAgeAndFinish(shared, 1998, 0x22);
  auto packets = shared.received();
  EXPECT_EQ(indexOf(packets, Chunk(kBlock, 0, true, 0x22)), -1);
  EXPECT_GE(indexOf(packets, Chunk(kBlock, 1, false, 0x22, 4)), 0);
}

}  // namespace
