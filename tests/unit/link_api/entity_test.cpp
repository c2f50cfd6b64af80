// Entity exchanges through a Module: the system entity's option table, byte
// blocks, and the I2C entity, with the stand-in playing the device.
#include <numeric>

#include "api_fixture.h"
#include "link/api/I2CClass.h"
#include "link/api/SystemClass.h"

using namespace apitest;
using namespace Veltrane::Tolvarine;

namespace {

class Entity : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    silence({3, 8});
    system.init(&device, 0);
    bus.init(&device, 0);
  }
  // A byte-block reply: [3, option, 0, chunk, sequence] packets.
  std::vector<Bytes> block(uint8_t option, const Bytes& bytes) {
    std::vector<Bytes> packets;
    size_t count = (bytes.size() + 23) / 24;
    for (size_t i = 0; i < count; ++i) {
      Bytes p = {3, option, 0};
      p.insert(p.end(), bytes.begin() + i * 24, bytes.begin() + std::min(bytes.size(), i * 24 + 24));
      p.push_back(static_cast<uint8_t>((i % 128) | (i + 1 < count ? 0x80 : 0)));
      packets.push_back(p);
    }
    return packets;
  }
  SystemClass system;
  I2CClass bus;
};

using Get8 = aErr (SystemClass::*)(uint8_t*);
using Get32 = aErr (SystemClass::*)(uint32_t*);
using GetSigned = aErr (SystemClass::*)(int32_t*);
using Set8 = aErr (SystemClass::*)(uint8_t);
using Set32 = aErr (SystemClass::*)(uint32_t);
using Call = aErr (SystemClass::*)();

}  // namespace

TEST_F(Entity, EveryByteGetAsksItsOptionAndReadsTheReply) {
  const std::pair<uint8_t, Get8> gets[] = {
      {1, &SystemClass::getModule},          {2, &SystemClass::getRouter},
      {3, &SystemClass::getHBInterval},      {4, &SystemClass::getLED},
      {6, &SystemClass::getBootSlot},        {8, &SystemClass::getModel},
      {13, &SystemClass::getModuleHardwareOffset}, {14, &SystemClass::getModuleBaseAddress},
      {15, &SystemClass::getModuleSoftwareOffset}, {16, &SystemClass::getRouterAddressSetting},
      {29, &SystemClass::getInputPowerSource}, {30, &SystemClass::getInputPowerBehavior},
      {38, &SystemClass::getLinkInterface},  {42, &SystemClass::getLEDMaxBrightness}};
  for (auto [option, get] : gets) {
    module("clear");
    inject({{3, option, 0, static_cast<uint8_t>(option + 100)}});
    uint8_t value = 0;
    ASSERT_EQ((system.*get)(&value), aErrNone) << int(option);
    EXPECT_EQ(value, option + 100) << int(option);
    EXPECT_EQ(awaitRequests(1), (std::vector<std::string>{"020303" + hex({static_cast<uint8_t>(option | 0x40)}) + "20"}));
  }
}

TEST_F(Entity, EveryWordGetReadsFourBigEndianBytesSignedWhereSigned) {
  const std::pair<uint8_t, Get32> gets[] = {
      {7, &SystemClass::getVersion},        {9, &SystemClass::getSerialNumber},
      {12, &SystemClass::getInputVoltage},  {21, &SystemClass::getInputCurrent},
      {22, &SystemClass::getUptime},        {33, &SystemClass::getPowerLimit},
      {34, &SystemClass::getPowerLimitMax}, {35, &SystemClass::getPowerLimitState},
      {40, &SystemClass::getHardwareVersion}, {41, &SystemClass::getErrors},
      {43, &SystemClass::getBuild},         {45, &SystemClass::getProtocolFeatures}};
  for (auto [option, get] : gets) {
    inject({{3, option, 0, 0x40, 0xF5, 0x84, option}});
    uint32_t value = 0;
    ASSERT_EQ((system.*get)(&value), aErrNone) << int(option);
    EXPECT_EQ(value, 0x40F58400u | option);
  }
  const std::pair<uint8_t, GetSigned> signedGets[] = {
      {23, &SystemClass::getMaximumTemperature}, {25, &SystemClass::getUnregulatedVoltage},
      {26, &SystemClass::getUnregulatedCurrent}, {27, &SystemClass::getTemperature},
      {28, &SystemClass::getMinimumTemperature}};
  for (auto [option, get] : signedGets) {
    inject({{3, option, 0, 0xFF, 0xFF, 0xFF, 0xF6}});
    int32_t value = 0;
    ASSERT_EQ((system.*get)(&value), aErrNone) << int(option);
    EXPECT_EQ(value, -10);
  }
}

TEST_F(Entity, SetsAndCallsCarryTheSetFlagAndAwaitTheSetReply) {
  const std::pair<uint8_t, Set8> sets[] = {
      {2, &SystemClass::setRouter},        {3, &SystemClass::setHBInterval},
      {6, &SystemClass::setBootSlot},      {15, &SystemClass::setModuleSoftwareOffset},
      {20, &SystemClass::routeToMe},       {30, &SystemClass::setInputPowerBehavior},
      {38, &SystemClass::setLinkInterface}, {42, &SystemClass::setLEDMaxBrightness}};
  for (auto [option, set] : sets) {
    module("clear");
    inject({{3, static_cast<uint8_t>(option | 0xC0), 0}});
    ASSERT_EQ((system.*set)(9), aErrNone) << int(option);
    EXPECT_EQ(awaitRequests(1).at(0), "020403" + hex({static_cast<uint8_t>(option | 0x80)}) + "2009");
  }
  const std::pair<uint8_t, Call> calls[] = {
      {10, &SystemClass::save}, {11, &SystemClass::reset}, {24, &SystemClass::logEvents},
      {36, &SystemClass::resetEntityToFactoryDefaults}, {37, &SystemClass::resetDeviceToFactoryDefaults}};
  for (auto [option, call] : calls) {
    module("clear");
    inject({{3, static_cast<uint8_t>(option | 0xC0), 0}});
    ASSERT_EQ((system.*call)(), aErrNone) << int(option);
    EXPECT_EQ(awaitRequests(1).at(0), "020303" + hex({static_cast<uint8_t>(option | 0x80)}) + "20");
  }
  module("clear");
  inject({{3, 0xE2, 0}});
  const std::pair<uint8_t, Set32> wide = {34, &SystemClass::setPowerLimitMax};
  ASSERT_EQ((system.*wide.second)(0x01020304), aErrNone);
  EXPECT_EQ(awaitRequests(1).at(0), "020703a22001020304");
}

TEST_F(Entity, LedOnIsAlwaysSentAsOne) {
  inject({{3, 0xC4, 0}});
  ASSERT_EQ(system.setLED(5), aErrNone);
  EXPECT_EQ(awaitRequests(1).at(0), "0204038420" "01");
}

TEST_F(Entity, DeviceErrorsComeBackAndLeaveTheOutputAlone) {
  inject({{3, 9, 0x80, aErrPermission}, {3, 0xC2, 0x80, aErrBusy}});
  uint32_t serial = 77;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrPermission);
  EXPECT_EQ(serial, 77u);
  EXPECT_EQ(system.setRouter(4), aErrBusy);
  EXPECT_EQ(system.getHBInterval(nullptr), aErrParam);
  uint8_t interval = 3;
  EXPECT_EQ(system.getHBInterval(&interval), aErrTimeout);
  EXPECT_EQ(interval, 3);
}

TEST_F(Entity, SubindexGetsAndSetsPutTheSubindexAfterTheSpecifier) {
  inject({{3, 9, 0, 4, 0x2A}, {3, 0xC9, 0}});
  uint8_t value = 0;
  ASSERT_EQ(system.getUEI8(9, 4, &value), aErrNone);
  EXPECT_EQ(value, 0x2A);
  ASSERT_EQ(system.setUEI16(9, 4, 0x1234), aErrNone);
  std::vector<std::string> sent = awaitRequests(2);
  EXPECT_EQ(sent.at(0), "0204034920" "04");
  EXPECT_EQ(sent.at(1), "0206038920" "041234");
}

TEST_F(Entity, ANameFitsExactlyAndOneByteLessIsAMemoryError) {
  Bytes name(30);
  std::iota(name.begin(), name.end(), 'A');
  injectAll(block(32, name));
  uint8_t buffer[30] = {};
  uint32_t unloaded = 0;
  ASSERT_EQ(system.getName(buffer, 30, &unloaded), aErrNone);
  EXPECT_EQ(unloaded, 30u);
  EXPECT_EQ(Bytes(buffer, buffer + 30), name);
  EXPECT_EQ(awaitRequests(1).at(0), "0203036020");

  injectAll(block(32, name));
  EXPECT_EQ(system.getName(buffer, 29, &unloaded), aErrMemory);
  EXPECT_EQ(unloaded, 24u);  // the first packet fitted
}

TEST_F(Entity, LongBlocksRunTheSequencePast127AndOutOfOrderPacketsWait) {
  Bytes data(24 * 130);
  std::iota(data.begin(), data.end(), 0);
  std::vector<Bytes> packets = block(32, data);
  std::swap(packets[0], packets[1]);  // sequence 1 arrives before 0
  injectAll(std::vector<Bytes>(packets.begin(), packets.begin() + 65));
  injectAll(std::vector<Bytes>(packets.begin() + 65, packets.end()));
  std::vector<uint8_t> buffer(data.size());
  uint32_t unloaded = 0;
  ASSERT_EQ(system.getName(buffer.data(), static_cast<uint32_t>(buffer.size()), &unloaded), aErrNone);
  EXPECT_EQ(unloaded, data.size());
  EXPECT_EQ(buffer, data);
}

TEST_F(Entity, ABlockCutShortTimesOutWithWhatArrived) {
  std::vector<Bytes> packets = block(32, Bytes(40, 1));
  injectAll({packets[0]});
  uint8_t buffer[64];
  uint32_t unloaded = 0;
  EXPECT_EQ(system.getName(buffer, sizeof buffer, &unloaded), aErrTimeout);
  EXPECT_EQ(unloaded, 24u);
}

TEST_F(Entity, PowerBehaviorConfigCountsWordsOnlyWhenWhole) {
  injectAll(block(31, Bytes(10, 7)));
  uint32_t words[4] = {};
  uint32_t unloaded = 0;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &unloaded), aErrNone);
  EXPECT_EQ(unloaded, 10u);
  injectAll(block(31, Bytes(8, 7)));
  ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &unloaded), aErrNone);
  EXPECT_EQ(unloaded, 2u);
}

TEST_F(Entity, SettingANameSendsTheBlockAndTakesOneAcknowledgement) {
  Bytes name(30, 'x');
  inject({{3, 0xE0, 0}});
  ASSERT_EQ(system.setName(name.data(), 30), aErrNone);
  std::vector<std::string> sent = awaitRequests(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].substr(0, 10), "021c03a020");
  EXPECT_EQ(sent[1], "020a03a020" + hex(Bytes(6, 'x')) + "01");
}

TEST_F(Entity, AwaitTakesAnUnaskedValueAndDrainDropsThem) {
  inject({{3, 5, 0, 0, 0, 1, 0}, {3, 5, 0, 0, 0, 2, 0}, {3, 5, 0, 0, 0, 3, 0}});
  uint32_t value = 0;
  ASSERT_EQ(system.awaitUEI32Val(5, &value), aErrNone);
  EXPECT_EQ(value, 256u);
  const uint8_t ping[1] = {1};
  ASSERT_EQ(device.debug(ping, 1), aErrNone);  // the other two are queued by now
  ASSERT_EQ(system.drainUEI(5), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(5, &value), aErrTimeout);
}

TEST_F(Entity, I2CReadCopiesTheReplyBytes) {
  ASSERT_EQ(bus.setSpeed(2), aErrNone);
  inject({{8, 0, 0xA1, 3, 0, 9, 8, 7}});
  uint8_t data[23] = {};
  ASSERT_EQ(bus.read(0xA0, 3, data), aErrNone);
  EXPECT_EQ(Bytes(data, data + 3), (Bytes{9, 8, 7}));
  EXPECT_EQ(awaitRequests(1).at(0), "02050800a10302");
  inject({{8, 0, 0xA1, 0, 0x80 | aErrBusy}});
  EXPECT_EQ(bus.read(0xA0, 3, data), aErrBusy);
  inject({{8, 0, 0xA1, 0}});
  EXPECT_EQ(bus.read(0xA0, 3, data), aErrPacket);
}

// The count byte is the device's claim; the copy never goes past the
// requested length or the bytes the reply holds.
TEST_F(Entity, I2CReadWithAnOversizedCountCopiesOnlyWhatFitsAndIsASizeError) {
  Bytes reply = {8, 0, 0xA1, 20, 0};
  for (uint8_t i = 0; i < 20; ++i) reply.push_back(i + 1);
  inject({reply});
  uint8_t data[8];
  std::fill(data, data + 8, 0xEE);
  EXPECT_EQ(bus.read(0xA0, 4, data), aErrSize);
  EXPECT_EQ(Bytes(data, data + 8), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));

  inject({{8, 0, 0xA1, 6, 0, 1, 2}});  // claims 6, holds 2
  std::fill(data, data + 8, 0xEE);
  EXPECT_EQ(bus.read(0xA0, 8, data), aErrSize);
  EXPECT_EQ(Bytes(data, data + 3), (Bytes{1, 2, 0xEE}));
}

TEST_F(Entity, I2CWriteAndPullup) {
  inject({{8, 0, 0xA0, 0, 0}, {8, 0, 1, 0, 0}, {8, 0, 0xA0, 0, 0x80 | aErrIO}});
  const uint8_t bytes[23] = {0x10, 0x20};
  ASSERT_EQ(bus.write(0xA0, 2, bytes), aErrNone);
  ASSERT_EQ(bus.setPullup(true), aErrNone);
  EXPECT_EQ(bus.write(0xA0, 23, bytes), aErrIO);
  std::vector<std::string> sent = awaitRequests(3);
  EXPECT_EQ(sent.at(0), "02070800a002001020");
  EXPECT_EQ(sent.at(1), "0204080001" "01");
  EXPECT_EQ(sent.at(2).substr(0, 4), "021c");  // 23 bytes go out in one packet
}
