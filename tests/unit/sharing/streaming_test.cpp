// Stream samples gather into batches that go to every client that enabled
// streaming: on the module's heartbeat, or at once when nearly 4 KiB.
#include "sharing_helpers.h"

namespace {

using namespace sharetest;

// The link stream enable of a client: command 0x5D, option 0x81.
Bytes StreamEnable() { return {kAddress, 7, 0x5D, 0x81, 0x20, 0, 0, 0, 1}; }

// Stream samples of these wire sizes, back to back.
Bytes Samples(const std::vector<size_t>& wireSizes, uint8_t fill) {
  Bytes all;
  for (size_t size : wireSizes) {
    Bytes sample = StreamSample(size - 2, fill);
    all.insert(all.end(), sample.begin(), sample.end());
  }
  return all;
}

// 135 full samples (30 bytes each) and one of `lastSize` bytes.
std::vector<size_t> NearlyFull(size_t lastSize) {
  std::vector<size_t> sizes(135, 30);
  sizes.push_back(lastSize);
  return sizes;
}

class Streaming : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NETNS();
    ASSERT_TRUE(shared.ready);
    streamer.send(StreamEnable());
    // The enable goes on to the module too; once it is there the server has
    // taken this client for streaming.
    ASSERT_TRUE(shared.waitForPacket(Hex(StreamEnable())));
  }
  SharedModule shared;
  RawClient streamer{htonl(INADDR_LOOPBACK), shared.port};
};

TEST_F(Streaming, BatchReaching4066BytesGoesAtOnce) {
  Bytes samples = Samples(NearlyFull(16), 0x5A);
  ASSERT_EQ(samples.size(), 4066u);
  shared.moduleSends(samples);
  auto batch = streamer.receive();
  ASSERT_TRUE(batch.has_value());
  EXPECT_EQ(*batch, samples);
}

TEST_F(Streaming, BatchOf4065BytesWaitsForTheHeartbeat) {
  Bytes samples = Samples(NearlyFull(15), 0x5B);
  ASSERT_EQ(samples.size(), 4065u);
  shared.moduleSends(samples);
  EXPECT_EQ(streamer.receive(500), std::nullopt);
  shared.module("heartbeat 0");
  auto batch = streamer.receive();
  ASSERT_TRUE(batch.has_value());
  EXPECT_EQ(*batch, samples);
}

TEST_F(Streaming, OnlyStreamingClientsGetBatchesAndSamplesNeverReachTheQueue) {
  RawClient quiet(shared.address, shared.port);
  RawClient second(shared.address, shared.port);
  second.send(StreamEnable());
  second.send(StreamEnable());  // once is enough
  ASSERT_EQ(second.ask(Echo(1), 10000), Echo(1));
  Bytes samples = Samples({9, 9, 12}, 0x33);
  shared.moduleSends(samples);
  shared.module("heartbeat 1");
  EXPECT_EQ(streamer.receive(), samples);
  EXPECT_EQ(second.receive(), samples);
  EXPECT_EQ(second.receive(300), std::nullopt);  // one batch, not two
  EXPECT_EQ(quiet.receive(300), std::nullopt);
  // A request after the samples gets its reply, not a sample.
  EXPECT_EQ(quiet.ask(Echo(2)), Echo(2));
}

// A client link reads a batch as a run of packets.
TEST_F(Streaming, ClientLinkReceivesTheSamplesAsPackets) {
  aLinkRef client = aLink_CreateClient(shared.address, shared.port, 0);
  ASSERT_NE(client, 0u);
  aPacket* enable = aPacket_CreateWithData(kAddress, 7, StreamEnable().data() + 2);
  ASSERT_EQ(aLink_PutPacket(client, enable), aErrNone);
  aPacket_Destroy(&enable);
  ASSERT_TRUE(shared.waitForPacket(Hex(StreamEnable()), 3000, 2));
  shared.moduleSends(Samples({9, 10, 11}, 0x44));
  shared.module("heartbeat 0");
  for (uint8_t length : {7, 8, 9}) {
    aPacket* sample = aLink_AwaitPacket(client, 3000);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->length, length);
    EXPECT_EQ(sample->data[2], 0x40);
    aPacket_Destroy(&sample);
  }
  aLink_Destroy(&client);
}

}  // namespace
