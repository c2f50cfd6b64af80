// Stream keys and sample packets: pure functions, no link.
#include <gtest/gtest.h>

#include "link/api/Link.h"

using Veltrane::Tolvarine::Link;

namespace {

aPacket* packet(uint8_t address, std::initializer_list<uint8_t> data) {
  std::vector<uint8_t> bytes(data);
  return aPacket_CreateWithData(address, static_cast<uint8_t>(bytes.size()), bytes.data());
}

// [command, option, index | 0x40, kind, (subindex), stamp hi, stamp lo, value, 0]
std::vector<uint8_t> sample(uint8_t kind, uint32_t value, bool subindex = false, uint8_t sub = 0) {
  std::vector<uint8_t> d = {3, 12, 0x40 | 1, kind};
  if (subindex) d.push_back(sub);
  for (uint8_t b : {0x00, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x02}) d.push_back(b);
  int width = (kind == 1 || kind == 5) ? 1 : (kind == 2 || kind == 6) ? 2 : 4;
  for (int i = width - 1; i >= 0; --i) d.push_back(static_cast<uint8_t>(value >> (8 * i)));
  d.push_back(0);
  return d;
}

struct PacketHolder {
  explicit PacketHolder(const std::vector<uint8_t>& d, uint8_t address = 2)
      : p(aPacket_CreateWithData(address, static_cast<uint8_t>(d.size()), d.data())) {}
  explicit PacketHolder(aPacket* raw) : p(raw) {}
  ~PacketHolder() { aPacket_Destroy(&p); }
  aPacket* p;
};

}  // namespace

TEST(StreamKey, ElementsSitInTheirBytesAndUnknownSelectorsGiveZero) {
  uint64_t key = Link::createStreamKey(0x12, 0x34, 0x56, 0x78, 0x9A);
  EXPECT_EQ(key, 0x9A12345678ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE_ADDRESS), 0x12);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD), 0x34);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 0x56);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 0x78);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 0x9A);
  EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
  EXPECT_EQ(Link::getStreamKeyElement(~0ull, 200), 0);
}

TEST(StreamSample, EveryKindDecodesItsValueTimestampAndSubindex) {
  struct Case {
    uint8_t kind;
    uint32_t value;
    bool sub;
  } cases[] = {{1, 0xAB, false}, {2, 0xBEEF, false}, {3, 0xDEADBEEF, false},
               {5, 0xCD, true},  {6, 0x1234, true},  {7, 0x89ABCDEF, true}};
  for (const Case& c : cases) {
    PacketHolder h(sample(c.kind, c.value, c.sub, 7));
    Link::STREAM_PACKET kind{};
    ASSERT_TRUE(Link::getStreamPacketType(h.p, &kind)) << int(c.kind);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(Link::isSubindexType(kind), c.sub);
    EXPECT_TRUE(Link::isStreamSample(h.p));
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 99;
    ASSERT_EQ(Link::getStreamSample(h.p, &stamp, &value, &sub), aErrNone);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(sub, c.sub ? 7 : 0);
    uint32_t upper = 0, lower = 0;
    Link::getTimestampParts(stamp, &upper, &lower);
    EXPECT_EQ(upper, 1u);
    EXPECT_EQ(lower, 0x80000002u);
    EXPECT_EQ(Link::getStreamSample(h.p, nullptr, nullptr, nullptr), aErrNone);
  }
}

TEST(StreamSample, WrongSizeSequenceOrKindIsNoSample) {
  std::vector<uint8_t> longer = sample(3, 5);
  longer.insert(longer.end() - 1, 0);  // 18 bytes for a kind that has 17
  PacketHolder wrongSize(longer);
  EXPECT_TRUE(Link::isStreamPacket(wrongSize.p));
  EXPECT_FALSE(Link::isStreamSample(wrongSize.p));
  EXPECT_EQ(Link::getStreamSample(wrongSize.p, nullptr, nullptr, nullptr), aErrPacket);

  std::vector<uint8_t> block = sample(1, 5);
  block.back() = 0x81;  // continue bit and sequence 1: part of a byte block
  PacketHolder blockPart(block);
  Link::STREAM_PACKET kind{};
  EXPECT_TRUE(Link::getStreamPacketType(blockPart.p, &kind));
  EXPECT_EQ(kind, Link::STREAM_PACKET_BYTES);
  EXPECT_EQ(Link::getStreamSample(blockPart.p, nullptr, nullptr, nullptr), aErrSize);

  std::vector<uint8_t> unknown = sample(1, 5);
  unknown[3] = 9;
  PacketHolder unknownKind(unknown);
  EXPECT_FALSE(Link::getStreamPacketType(unknownKind.p, &kind));
  EXPECT_EQ(kind, Link::STREAM_PACKET_UNKNOWN);

  // A get reply (option with 0x40) and a packet without the stream bit.
  PacketHolder reply(packet(2, {3, 0x4C, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}));
  PacketHolder plain(packet(2, {3, 12, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}));
  EXPECT_FALSE(Link::isStreamPacket(reply.p));
  EXPECT_FALSE(Link::isStreamPacket(plain.p));
  EXPECT_EQ(Link::getStreamSample(plain.p, nullptr, nullptr, nullptr), aErrPacket);
  EXPECT_FALSE(Link::isStreamPacket(nullptr));
}

TEST(StreamSample, TimestampPartsToleratesNullOutputs) {
  uint32_t lower = 0;
  Link::getTimestampParts(0x1122334455667788ull, nullptr, &lower);
  EXPECT_EQ(lower, 0x55667788u);
  uint32_t upper = 0;
  Link::getTimestampParts(0x1122334455667788ull, &upper, nullptr);
  EXPECT_EQ(upper, 0x11223344u);
}
