// Requests from several clients reach the module one at a time and every
// reply goes back to the client that asked; malformed and owner-only
// packets go nowhere.
#include <future>

#include "sharing_helpers.h"

namespace {

using namespace sharetest;

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NETNS();
    ASSERT_TRUE(shared.ready);
  }
  SharedModule shared;
};

TEST_F(Routing, OwnerLearnsTheModuleThroughItsClientLink) {
  EXPECT_EQ(shared.server->moduleAddress.load(), kAddress);
  EXPECT_EQ(shared.server->model.load(), kModel);
  EXPECT_EQ(shared.address, htonl(INADDR_LOOPBACK));
  EXPECT_NE(shared.port, 0);
  EXPECT_TRUE(LinkAsk(shared.owner, ModelGet(), ModelReply()));
}

TEST_F(Routing, TwoClientLinksEachGetTheirOwnReplies) {
  aLinkRef first = aLink_CreateClient(shared.address, shared.port, 0);
  aLinkRef second = aLink_CreateClient(shared.address, shared.port, 0);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  auto run = [](aLinkRef id, uint8_t base) {
    int good = 0;
    for (uint8_t i = 0; i < 40; ++i) {
      uint8_t tag = static_cast<uint8_t>(base + i);
      good += LinkAsk(id, Echo(tag), EchoReply(tag)) ? 1 : 0;
      good += LinkAsk(id, ModelGet(), ModelReply()) ? 1 : 0;
    }
    return good;
  };
  auto a = std::async(std::launch::async, run, first, 0);
  auto b = std::async(std::launch::async, run, second, 100);
  EXPECT_EQ(a.get(), 80);
  EXPECT_EQ(b.get(), 80);
  // Nothing was left over or misrouted into either queue.
  EXPECT_EQ(aLink_GetPacket(first), nullptr);
  EXPECT_EQ(aLink_GetPacket(second), nullptr);
  aLink_Destroy(&first);
  aLink_Destroy(&second);
}

TEST_F(Routing, RawClientsInterleavedRequests) {
  RawClient a(shared.address, shared.port);
  RawClient b(shared.address, shared.port);
  for (uint8_t tag = 0; tag < 20; ++tag) {
    a.send(Echo(tag));
    b.send(Echo(static_cast<uint8_t>(tag + 128)));
  }
  for (uint8_t tag = 0; tag < 20; ++tag) {
    EXPECT_EQ(a.receive(), Echo(tag));
    EXPECT_EQ(b.receive(), Echo(static_cast<uint8_t>(tag + 128)));
  }
}

TEST_F(Routing, RouteControlFromAClientIsNeverForwardedNorAnswered) {
  RawClient raw(shared.address, shared.port);
  shared.module("clear");
  raw.send({0xAF, 1, 0});
  raw.send({0xAF, 1, 1});
  EXPECT_EQ(raw.receive(300), std::nullopt);
  // The next request is answered: no routing entry was left behind.
  EXPECT_EQ(raw.ask(Echo(7)), Echo(7));
  EXPECT_TRUE(shared.module("routes").empty());
  EXPECT_EQ(shared.received(), (std::vector<std::string>{Hex(Echo(7))}));
}

TEST_F(Routing, FramesOfOneAndOfThirtyOneBytesAreDropped) {
  RawClient raw(shared.address, shared.port);
  shared.module("clear");
  raw.send({kAddress});
  Bytes tooLong = {kAddress, 29};
  tooLong.resize(31, 0x11);
  raw.send(tooLong);
  Bytes claimsMore = {kAddress, 5, 23, 1};  // says 5 data bytes, holds 2
  raw.send(claimsMore);
  EXPECT_EQ(raw.receive(300), std::nullopt);
  EXPECT_EQ(raw.ask(Echo(9)), Echo(9));
  EXPECT_EQ(shared.received(), (std::vector<std::string>{Hex(Echo(9))}));
}

// A reply with one data byte makes a 3-byte frame, the size of a server
// command: it still reaches the client as a packet.
TEST_F(Routing, ReplyOfOneDataByteReachesTheClient) {
  RawClient raw(shared.address, shared.port);
  Bytes request = {kAddress, 1, 23};
  EXPECT_EQ(raw.ask(request), request);
  shared.module("clear");
  raw.send({kAddress, 1, 0x31});
  ASSERT_TRUE(shared.waitForPacket("020131"));
  shared.moduleSends({kAddress, 1, 0x31});
  EXPECT_EQ(raw.receive(), (Bytes{kAddress, 1, 0x31}));
  EXPECT_EQ(raw.ask(Echo(3)), Echo(3));
}

TEST_F(Routing, MultiPacketReplyArrivesAsFourFrames) {
  RawClient raw(shared.address, shared.port);
  shared.module("clear");
  Bytes request = {kAddress, 3, 0x30, 0x45, 0x20};  // the stand-in does not answer 0x30
  raw.send(request);
  ASSERT_TRUE(shared.waitForPacket(Hex(request)));
  Bytes burst;
  std::vector<Bytes> replies;
  for (uint8_t seq = 0; seq < 3; ++seq) replies.push_back(Chunk(0x30, seq, true, static_cast<uint8_t>(seq + 1)));
  replies.push_back(Chunk(0x30, 3, false, 4, 5));
  for (const Bytes& r : replies) burst.insert(burst.end(), r.begin(), r.end());
  shared.moduleSends(burst);
  for (const Bytes& r : replies) EXPECT_EQ(raw.receive(), r);
  EXPECT_EQ(raw.receive(300), std::nullopt);
  EXPECT_EQ(raw.ask(Echo(4)), Echo(4));
}

// While a request waits, a packet that does not answer it is not taken for
// its reply.
TEST_F(Routing, UnrequestedPacketIsNotRoutedAsAReply) {
  RawClient raw(shared.address, shared.port);
  shared.module("clear");
  Bytes request = {kAddress, 3, 0x30, 0x45, 0x20};
  raw.send(request);
  ASSERT_TRUE(shared.waitForPacket(Hex(request)));
  Bytes stray = {kAddress, 3, 0x31, 0x05, 0x00};
  Bytes reply = {kAddress, 4, 0x30, 0x05, 0x00, 0x42};
  Bytes both = stray;
  both.insert(both.end(), reply.begin(), reply.end());
  shared.moduleSends(both);
  EXPECT_EQ(raw.receive(), reply);
  EXPECT_EQ(raw.receive(300), std::nullopt);
}

// A receive on a client link that times out takes nothing: a reply that
// arrived meanwhile for another request stays queued for the receive that
// wants it.
TEST_F(Routing, TimedOutReceiveLeavesTheOtherReplyQueued) {
  aLinkRef client = aLink_CreateClient(shared.address, shared.port, 0);
  ASSERT_NE(client, 0u);
  const Bytes request = Echo(7);
  aPacket* packet = aPacket_CreateWithData(request[0], request[1], request.data() + 2);
  ASSERT_EQ(aLink_PutPacket(client, packet), aErrNone);
  aPacket_Destroy(&packet);
  auto unasked = [](const aPacket*, void*) { return false; };
  EXPECT_EQ(aLink_AwaitFirst(client, unasked, nullptr, 500), nullptr);
  EXPECT_TRUE(LinkAwait(client, EchoReply(7))) << "the echo's reply was taken or lost";
  aLink_Destroy(&client);
}

// A request the module never answers costs its client the reply only; the
// next request is answered.
TEST_F(Routing, UnansweredRequestIsDroppedAndTheNextAnswered) {
  RawClient raw(shared.address, shared.port);
  RawClient other(shared.address, shared.port);
  raw.send({kAddress, 3, 0x30, 0x45, 0x20});
  other.send(Echo(5));
  EXPECT_EQ(other.receive(4000), Echo(5));
  EXPECT_EQ(raw.receive(300), std::nullopt);
  EXPECT_EQ(raw.ask(Echo(6)), Echo(6));
}

TEST_F(Routing, FlushForgetsPendingReplies) {
  RawClient raw(shared.address, shared.port);
  raw.send({kAddress, 3, 0x30, 0x45, 0x20});
  ASSERT_TRUE(shared.waitForPacket("0203304520"));
  EXPECT_EQ(aServer_FlushFIFO(shared.server), aErrNone);
  // Asked while the worker still waits for the forgotten request: its late
  // dropped-packet notice is discarded, not taken for this request's.
  EXPECT_EQ(raw.ask(Echo(8), 4000), Echo(8));
}

}  // namespace
