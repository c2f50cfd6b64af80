// UEI values, byte blocks, raw packets and the module-address query of a
// Link, against the module stand-in.
#include <chrono>
#include <numeric>

#include "api_fixture.h"

using namespace apitest;
using Veltrane::Tolvarine::Link;

namespace {

uei makeUEI(uint8_t module, uint8_t type) {
  uei value{};
  value.module = module;
  value.command = 3;
  value.option = 0x48;
  value.specifier = 0x20;
  value.type = type;
  return value;
}

uei expectReply(uint8_t option, uint8_t index) {
  uei value{};
  value.module = 2;
  value.command = 3;
  value.option = option;
  value.specifier = index;
  return value;
}

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class LinkUEI : public LinkTest {};

}  // namespace

TEST_F(LinkUEI, ConnectedLinkReportsRunningAndRefusesASecondConnect) {
  EXPECT_TRUE(link.isConnected());
  EXPECT_EQ(link.getStatus(), linkStateRunning);
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.setLinkSpecifier(tcpSpec(1)), aErrBusy);
  aEtherConfig config;
  EXPECT_EQ(link.setConfig(config), aErrMode);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.connect(), aErrNone);  // again from the stored specifier
}

TEST_F(LinkUEI, ModuleAddressIsTheAddressOfTheEmptyReply) {
  uint8_t address = 0;
  ASSERT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kAddress);
  module("set address 6");
  ASSERT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 6);
  module("refuse_sync 1");
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
}

TEST_F(LinkUEI, FixedValuesGoOutBigEndianWithAndWithoutSubindex) {
  uei v = makeUEI(kAddress, ueiTypeVoid);
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  v = makeUEI(kAddress, ueiTypeByte);
  v.v.byteVal = 0xAB;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  v = makeUEI(kAddress, ueiTypeShort);
  v.v.shortVal = 0x1234;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  ASSERT_EQ(link.sendUEI(v, 9), aErrNone);
  v = makeUEI(kAddress, ueiTypeInt);
  v.v.intVal = 0xA1B2C3D4;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  ASSERT_EQ(link.sendUEI(v, 9), aErrNone);
  EXPECT_EQ(awaitRequests(6), (std::vector<std::string>{"0203034820", "0204034820ab", "02050348201234",
                                                         "0206034820091234", "0207034820a1b2c3d4",
                                                         "020803482009a1b2c3d4"}));
}

TEST_F(LinkUEI, ByteBlocksGoOutInChunksOf24WithWrappingSequenceBytes) {
  std::vector<uint8_t> block(24 * 130);
  std::iota(block.begin(), block.end(), 0);
  uei v = makeUEI(kAddress, ueiTypeBytes);
  v.v.bytes = block.data();
  v.byteCount = 24;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  std::vector<std::string> sent = awaitRequests(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "021c034820" + hex(Bytes(block.begin(), block.begin() + 24)) + "00");

  module("clear");
  v.byteCount = 25;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  sent = awaitRequests(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].substr(sent[0].size() - 2), "80");
  EXPECT_EQ(sent[1], "0205034820" + hex({24}) + "01");

  module("clear");
  v.byteCount = 0;
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  EXPECT_EQ(awaitRequests(1), (std::vector<std::string>{"020403482000"}));

  // 130 chunks: the counter runs 0..127 and starts again at 0.
  module("clear");
  v.byteCount = static_cast<uint32_t>(block.size());
  ASSERT_EQ(link.sendUEI(v), aErrNone);
  sent = awaitRequests(130);
  ASSERT_EQ(sent.size(), 130u);
  auto sequence = [&](size_t i) { return sent[i].substr(sent[i].size() - 2); };
  EXPECT_EQ(sequence(0), "80");
  EXPECT_EQ(sequence(127), "ff");
  EXPECT_EQ(sequence(128), "80");
  EXPECT_EQ(sequence(129), "01");
  EXPECT_EQ(sent[129].substr(10, 48), hex(Bytes(block.end() - 24, block.end())));
}

// A value type without a packet form must put nothing on the link.
TEST_F(LinkUEI, TypesWithoutAPacketFormAreRefusedAndSendNothing) {
  uei odd = makeUEI(kAddress, 3);
  EXPECT_EQ(link.sendUEI(odd), aErrParam);
  odd.type = 6;
  EXPECT_EQ(link.sendUEI(odd), aErrParam);
  EXPECT_EQ(link.sendUEI(odd, 1), aErrParam);
  uint8_t block[30] = {};
  uei bytes = makeUEI(kAddress, ueiTypeBytes);
  bytes.v.bytes = block;
  bytes.byteCount = sizeof block;
  EXPECT_EQ(link.sendUEI(bytes, 1), aErrParam);
  settle();
  EXPECT_EQ(requests(), (std::vector<std::string>{"0203175aa5"}));  // only the settling echo
}

TEST_F(LinkUEI, ZeroAndOddAddressesAreRefusedBeforeSending) {
  for (uint8_t address : {0, 1, 3, 0xAD}) {
    EXPECT_EQ(link.sendUEI(makeUEI(address, ueiTypeVoid)), aErrPacket);
    uint8_t data[1] = {0};
    EXPECT_EQ(link.sendPacket(address, 23, 1, data), aErrPacket);
    uei reply = expectReply(8, 0);
    reply.module = address;
    EXPECT_EQ(link.receiveUEI(address, 3, 8, 0, &reply), aErrPacket);
  }
  settle();
  EXPECT_EQ(requests().size(), 1u);
}

TEST_F(LinkUEI, RepliesAreDecodedBySizeAndErrorsByTheSpecifierBit) {
  uei v = makeUEI(kAddress, ueiTypeVoid);
  ASSERT_EQ(link.sendUEI(v), aErrNone);  // the stand-in answers the model
  uei reply = expectReply(8, 0);
  ASSERT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrNone);
  EXPECT_EQ(reply.type, ueiTypeByte);
  EXPECT_EQ(reply.v.byteVal, 0x11);

  inject({{3, 9, 1}, {3, 9, 1, 0x12, 0x34}, {3, 9, 1, 0xDE, 0xAD, 0xBE, 0xEF}, {3, 9, 0x81, aErrRange}});
  reply = expectReply(9, 1);
  ASSERT_EQ(link.receiveUEI(2, 3, 9, 1, &reply), aErrNone);
  EXPECT_EQ(reply.type, ueiTypeVoid);
  reply = expectReply(9, 1);
  ASSERT_EQ(link.receiveUEI(2, 3, 9, 1, &reply), aErrNone);
  EXPECT_EQ(reply.type, ueiTypeShort);
  EXPECT_EQ(reply.v.shortVal, 0x1234);
  reply = expectReply(9, 1);
  ASSERT_EQ(link.receiveUEI(2, 3, 9, 1, &reply), aErrNone);
  EXPECT_EQ(reply.type, ueiTypeInt);
  EXPECT_EQ(reply.v.intVal, 0xDEADBEEFu);
  reply = expectReply(9, 1);
  ASSERT_EQ(link.receiveUEI(2, 3, 9, 1, &reply), aErrNone);
  EXPECT_EQ(reply.specifier, 0x81);
  EXPECT_EQ(reply.v.byteVal, aErrRange);
}

TEST_F(LinkUEI, AReplyWhoseOptionDiffersInAnyBitStaysQueued) {
  inject({{3, 0x48, 0, 1}, {3, 8, 0, 2}});
  uei reply = expectReply(8, 0);
  ASSERT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrNone);
  EXPECT_EQ(reply.v.byteVal, 2);
  reply = expectReply(0x48, 0);
  ASSERT_EQ(link.receiveUEI(2, 3, 0x48, 0, &reply), aErrNone);
  EXPECT_EQ(reply.v.byteVal, 1);
}

TEST_F(LinkUEI, LargeByteBlocksWidenTheReplyTimeOut) {
  uei reply = expectReply(8, 5);
  reply.type = ueiTypeBytes;
  reply.byteCount = 1000;
  auto start = Clock::now();
  EXPECT_EQ(link.receiveUEI(2, 3, 8, 5, &reply), aErrTimeout);
  long plain = elapsedMs(start);
  EXPECT_GE(plain, 950);
  EXPECT_LT(plain, 2500);
  reply.byteCount = 1001;
  start = Clock::now();
  EXPECT_EQ(link.receiveUEI(2, 3, 8, 5, &reply), aErrTimeout);
  EXPECT_GE(elapsedMs(start), 3900);
}

TEST_F(LinkUEI, DropTakesEveryMatchingReplyErrorsIncludedAndLeavesTheRest) {
  inject({{3, 8, 0, 1}, {3, 8, 0x80, aErrBusy}, {3, 8, 0, 2}, {3, 9, 0, 3}});
  settle();
  EXPECT_EQ(link.dropMatchingUEIPackets(2, 3, 8, 0), aErrNone);
  uei reply = expectReply(8, 0);
  auto start = Clock::now();
  EXPECT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrTimeout);
  EXPECT_GE(elapsedMs(start), 950);
  reply = expectReply(9, 0);
  ASSERT_EQ(link.receiveUEI(2, 3, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.v.byteVal, 3);
}

TEST_F(LinkUEI, RawPacketsHoldAtMost27BytesAfterTheCommand) {
  uint8_t data[28];
  std::iota(data, data + 28, 1);
  EXPECT_EQ(link.sendPacket(kAddress, 0x30, 28, data), aErrParam);
  ASSERT_EQ(link.sendPacket(kAddress, 0x30, 27, data), aErrNone);
  std::vector<std::string> sent = awaitRequests(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "021c30" + hex(Bytes(data, data + 27)));
}

TEST_F(LinkUEI, ReceivePacketMatchesLeadingBytesFromAnyAddress) {
  inject({{0x31, 1, 2}}, 8);
  inject({{0x30, 9}, {0x30, 1, 7, 7, 7}});
  uint8_t match[2] = {0x30, 1};
  uint8_t length = 2;
  uint8_t data[aPACKET_MAX_DATA] = {};
  ASSERT_EQ(link.receivePacket(kAddress, match, &length, data), aErrNone);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(Bytes(data, data + 5), (Bytes{0x30, 1, 7, 7, 7}));
  match[0] = 0x31;
  length = 1;
  ASSERT_EQ(link.receivePacket(kAddress, match, &length, data), aErrNone);  // from module 8
  EXPECT_EQ(length, 3);
  match[0] = 0x32;
  length = 1;
  EXPECT_EQ(link.receivePacket(kAddress, match, &length, data), aErrTimeout);
}
