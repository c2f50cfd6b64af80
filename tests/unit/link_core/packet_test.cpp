#include <gtest/gtest.h>

#include "link/core/aPacket.h"
#include "link/core/aUEI.h"

namespace {

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr fresh() { return PacketPtr(aPacket_Create()); }

aErr feed(aPacket* p, std::initializer_list<uint8_t> bytes) {
  aErr last = aErrNone;
  for (uint8_t b : bytes) {
    last = aPacket_AddByte(p, b);
    if (last != aErrNone) break;
  }
  return last;
}

TEST(PacketConstruction, LengthLimitAndFillCount) {
  uint8_t data[29] = {};
  PacketPtr full(aPacket_CreateWithData(4, 28, data));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->fillCount, 30);
  EXPECT_TRUE(aPacket_IsComplete(full.get()));
  EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(4, 1, nullptr), nullptr);
}

TEST(PacketConstruction, CopyKeepsBytesAndRefusesDestroyed) {
  const uint8_t data[] = {3, 0x48, 0x20};
  PacketPtr original(aPacket_CreateWithData(6, 3, data));
  PacketPtr copy(aPacket_Copy(original.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->address, 6);
  EXPECT_EQ(copy->length, 3);
  EXPECT_EQ(0, memcmp(copy->data, data, 3));
  aPacket* raw = original.release();
  ASSERT_EQ(aPacket_Destroy(&raw), aErrNone);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
}

TEST(PacketAssembler, ZeroLengthPacketCompletesAtTwoBytes) {
  PacketPtr p = fresh();
  ASSERT_EQ(feed(p.get(), {0x04, 0x00}), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->length, 0);
}

TEST(PacketAssembler, RejectsOddOrZeroAddress) {
  PacketPtr odd = fresh();
  EXPECT_EQ(aPacket_AddByte(odd.get(), 0x05), aErrPacket);
  PacketPtr zero = fresh();
  EXPECT_EQ(aPacket_AddByte(zero.get(), 0x00), aErrPacket);
}

TEST(PacketAssembler, RejectsLengthAboveTwentyEightLeavingThePacketAsItWas) {
  PacketPtr p = fresh();
  EXPECT_EQ(feed(p.get(), {0x02, 29}), aErrPacket);
  // The refused byte changed nothing: no length above 28 ever stands.
  EXPECT_EQ(p->length, 0);
  EXPECT_EQ(p->fillCount, 1);
  EXPECT_EQ(aPacket_AddByte(p.get(), 0xFF), aErrPacket);
  EXPECT_EQ(p->length, 0);
  PacketPtr odd = fresh();
  EXPECT_EQ(aPacket_AddByte(odd.get(), 0x05), aErrPacket);
  EXPECT_EQ(odd->fillCount, 0);
  PacketPtr ok = fresh();
  EXPECT_EQ(feed(ok.get(), {0x02, 28}), aErrNone);
}

TEST(PacketAssembler, StoresDataAndRefusesExtraByte) {
  PacketPtr p = fresh();
  ASSERT_EQ(feed(p.get(), {0x02, 2, 0xAA, 0xBB}), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(p->data[0], 0xAA);
  EXPECT_EQ(p->data[1], 0xBB);
  EXPECT_EQ(aPacket_AddByte(p.get(), 0xCC), aErrPacket);
}

TEST(PacketAssembler, ResetClearsForTheNextPacket) {
  PacketPtr p = fresh();
  ASSERT_EQ(feed(p.get(), {0x02, 1, 7}), aErrNone);
  ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
  EXPECT_EQ(p->fillCount, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(feed(p.get(), {0x08, 0}), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(p.get()));
}

TEST(PacketFields, AccessorsNeedLengthAndOutput) {
  const uint8_t data[] = {9, 0xC7, 0x23};
  PacketPtr one(aPacket_CreateWithData(2, 1, data));
  uint8_t out = 0;
  EXPECT_EQ(aPacket_GetOption(one.get(), &out), aErrPacket);
  EXPECT_EQ(aPacket_GetOption(one.get(), nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(one.get(), &out), aErrNone);
  EXPECT_EQ(out, 9);
  PacketPtr three(aPacket_CreateWithData(2, 3, data));
  EXPECT_EQ(aPacket_GetOption(three.get(), &out), aErrNone);
  EXPECT_EQ(out, 0x07);
  EXPECT_EQ(aPacket_GetIndex(three.get(), &out), aErrNone);
  EXPECT_EQ(out, 0x03);
}

TEST(UEIPayload, CommandClassification) {
  uint8_t data[8] = {173, 0, 0, 0};
  PacketPtr sync(aPacket_CreateWithData(2, 4, data));
  EXPECT_FALSE(aUEI_isUEIPayload(sync.get()));
  data[0] = 3;
  PacketPtr system(aPacket_CreateWithData(2, 4, data));
  EXPECT_TRUE(aUEI_isUEIPayload(system.get()));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
}

TEST(UEIPayload, StreamPacketNeedsStreamBitAndNoRequestBits) {
  uint8_t data[14] = {3, 7, 0x40, 1};
  PacketPtr stream(aPacket_CreateWithData(2, 14, data));
  EXPECT_TRUE(aUEI_isStreamPacket(stream.get()));
  data[1] = 0x47;
  PacketPtr get(aPacket_CreateWithData(2, 14, data));
  EXPECT_FALSE(aUEI_isStreamPacket(get.get()));
}

TEST(UEIPayload, ByteArraySequenceAndContinue) {
  uint8_t data[28] = {3, 32, 0};
  data[27] = 0x85;
  PacketPtr p(aPacket_CreateWithData(2, 28, data));
  EXPECT_EQ(aUEI_getBytesSequence(p.get()), 5);
  EXPECT_EQ(aUEI_getBytesContinue(p.get()), 1);
  EXPECT_TRUE(aUEI_getBytesFullPacket(p.get()));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  // A length no packet can have (a record filled by hand) has no trailer.
  p->length = 200;
  EXPECT_EQ(aUEI_getBytesSequence(p.get()), 0);
  EXPECT_EQ(aUEI_getBytesContinue(p.get()), 0);
}

TEST(UEIPayload, BigEndianHelpers) {
  uint8_t buffer[8];
  aUEI_StoreInt(buffer, 0x12345678);
  EXPECT_EQ(buffer[0], 0x12);
  EXPECT_EQ(buffer[3], 0x78);
  EXPECT_EQ(aUEI_RetrieveInt(buffer), 0x12345678u);
  aUEI_StoreShort(buffer, 0xBEEF);
  EXPECT_EQ(aUEI_RetrieveShort(buffer), 0xBEEF);
  aUEI_StoreInt(buffer, 0xA1B2C3D4);
  aUEI_StoreInt(buffer + 4, 7);
  aUEI_ModifyIntBuffer(buffer, 2);
  uint32_t words[2];
  memcpy(words, buffer, sizeof words);
  EXPECT_EQ(words[0], 0xA1B2C3D4u);
  EXPECT_EQ(words[1], 7u);
}

}  // namespace
