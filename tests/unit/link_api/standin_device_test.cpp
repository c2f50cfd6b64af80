// The object API against the stand-in's own device model: what a module
// keeps (settings, name, slots, factory data, stream subscriptions) must
// read back as it was written, and a router must reach the modules behind it.
#include <future>
#include <numeric>

#include "api_fixture.h"
#include "link/api/I2CClass.h"
#include "link/api/SystemClass.h"
#include "link/core/aVersion.h"

using namespace apitest;
using namespace Veltrane::Tolvarine;

namespace {

class Device : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    system.init(&device, 0);
  }
  Bytes fromHex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
  }
  SystemClass system;
};

}  // namespace

TEST_F(Device, IdentityMatchesWhatTheModuleWasStartedWith) {
  uint32_t serial = 0, version = 0, build = 0, viaInfo = 0;
  uint8_t model = 0, address = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
  ASSERT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x11);
  ASSERT_EQ(system.getModule(&address), aErrNone);
  EXPECT_EQ(address, 2);
  ASSERT_EQ(system.getVersion(&version), aErrNone);
  EXPECT_EQ(version, aVersion_Pack(2, 11, 4));
  ASSERT_EQ(system.getBuild(&build), aErrNone);
  ASSERT_EQ(device.getBuild(&viaInfo), aErrNone);
  EXPECT_EQ(build, 1100u);
  EXPECT_EQ(viaInfo, build);
  uint8_t name[32] = {};
  uint32_t length = 0;
  ASSERT_EQ(system.getName(name, sizeof name, &length), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "Tolvarine module");
}

TEST_F(Device, SettingsReadBackAsWritten) {
  ASSERT_EQ(system.setLED(5), aErrNone);
  uint8_t led = 0;
  ASSERT_EQ(system.getLED(&led), aErrNone);
  EXPECT_EQ(led, 1);
  ASSERT_EQ(system.setPowerLimitMax(1234567), aErrNone);
  uint32_t limit = 0;
  ASSERT_EQ(system.getPowerLimitMax(&limit), aErrNone);
  EXPECT_EQ(limit, 1234567u);
  module("set temperature -5000000");
  int32_t temperature = 0;
  ASSERT_EQ(system.getTemperature(&temperature), aErrNone);
  EXPECT_EQ(temperature, -5000000);
  Bytes name(40);
  std::iota(name.begin(), name.end(), 'a');
  ASSERT_EQ(system.setName(name.data(), static_cast<uint32_t>(name.size())), aErrNone);
  uint8_t back[64];
  uint32_t length = 0;
  ASSERT_EQ(system.getName(back, sizeof back, &length), aErrNone);
  EXPECT_EQ(Bytes(back, back + length), name);
  ASSERT_EQ(system.save(), aErrNone);
  EXPECT_EQ(module("calls"), (std::vector<std::string>{"save"}));
  uint32_t words[4] = {}, count = 0;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
  EXPECT_EQ(count, 4u);
}

TEST_F(Device, TheModuleRefusesWhatItCannotDo) {
  EXPECT_EQ(system.setUEI8(9, 1), aErrPermission);  // the serial number is read-only
  EXPECT_EQ(system.callUEI(60), aErrInvalidOption);
  EXPECT_EQ(device.hasUEI(3, 9, 0, 0x40), aErrNone);
  EXPECT_EQ(device.hasUEI(3, 9, 0, 0x80), aErrPermission);
  uint8_t count = 0;
  ASSERT_EQ(device.classQuantity(3, &count), aErrNone);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(device.subClassQuantity(4, 2, &count), aErrNone);
  EXPECT_EQ(count, 64);
  module("fault error 3/9 21");
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrUnimplemented);
  module("fault length 73/255 5");
  uint32_t build = 0;
  EXPECT_EQ(device.getBuild(&build), aErrSize);
}

TEST_F(Device, StoreSlotsKeepWhatIsLoaded) {
  Link* link = device.getLink();
  Bytes image(3000);
  std::iota(image.begin(), image.end(), 7);
  ASSERT_EQ(link->loadStoreSlot(2, 2, 5, image.data(), static_cast<uint32_t>(image.size())), aErrNone);
  EXPECT_EQ(fromHex(module("slot 2 5").at(0)), image);
  uint32_t size = 0, capacity = 0;
  ASSERT_EQ(link->storeSlotSize(2, 2, 5, &size), aErrNone);
  EXPECT_EQ(size, 3000u);
  ASSERT_EQ(link->storeSlotCapacity(2, 2, 5, &capacity), aErrNone);
  EXPECT_EQ(capacity, 65535u);
  Bytes back(4000);
  uint32_t unloaded = 0;
  ASSERT_EQ(link->unloadStoreSlot(2, 2, 5, back.data(), 4000, &unloaded), aErrNone);
  ASSERT_EQ(unloaded, 3000u);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 3000), image);
  EXPECT_EQ(link->unloadStoreSlot(2, 2, 5, back.data(), 100, &unloaded), aErrOverrun);
  EXPECT_EQ(unloaded, 100u);
}

TEST_F(Device, FactoryDataReadsBackAsWritten) {
  Link* link = device.getLink();
  Bytes record(70);
  std::iota(record.begin(), record.end(), 1);
  ASSERT_EQ(link->setFactoryData(2, 3, record.data(), static_cast<uint32_t>(record.size())), aErrNone);
  EXPECT_EQ(fromHex(module("factory 3").at(0)), record);
  uint8_t back[128];
  uint32_t length = 0;
  ASSERT_EQ(link->getFactoryData(2, 3, back, sizeof back, &length), aErrNone);
  EXPECT_EQ(Bytes(back, back + length), record);
}

TEST_F(Device, StreamedReadingsReachCallbacksAndTheTypedGet) {
  std::promise<uint32_t> heard;
  ASSERT_EQ(system.registerOptionCallback(27, true,
                                          [&](const aPacket* p, void*) -> uint8_t {
                                            uint32_t v = 0;
                                            if (Link::getStreamSample(p, nullptr, &v, nullptr) == aErrNone)
                                              heard.set_value(v);
                                            return 0;
                                          },
                                          nullptr),
            aErrNone);
  EXPECT_EQ(module("streams"), (std::vector<std::string>{"02031B00"}));
  module("sample 3 3 27 0 4242");
  auto future = heard.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(future.get(), 4242u);
  module("clear");
  int32_t temperature = 0;
  EXPECT_EQ(system.getTemperature(&temperature), aErrNone);
  EXPECT_EQ(temperature, 4242);
  EXPECT_EQ(requests(), std::vector<std::string>{});
  ASSERT_EQ(system.registerOptionCallback(27, false, {}, nullptr), aErrNone);
  EXPECT_EQ(module("streams"), std::vector<std::string>{});
  EXPECT_EQ(system.getTemperature(&temperature), aErrNone);  // asked again: no stream entry left
  EXPECT_EQ(temperature, 31500000);
}

// A router with two modules behind it on its I2C network.
TEST(RouterNetwork, ModulesBehindTheRouterAnswerUnderTheirAddresses) {
  StandIn module({"--behind", "4,0x11112222,0x13", "--behind", "6,0x33334444,0x13"});
  Module router(2, false, 0);
  aEtherConfig config;
  config.sharingEnabled = false;
  ASSERT_EQ(router.setConfig(config), aErrNone);
  ASSERT_EQ(router.connectFromSpec(tcpSpec(module.tcpPort())), aErrNone);
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
  I2CClass bus;
  bus.init(&router, 0);
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  const uint8_t probe[2] = {0, 0};
  EXPECT_EQ(bus.write(4, 2, probe), aErrNone);
  EXPECT_EQ(bus.write(8, 2, probe), aErrIO);  // nobody acknowledges at 8
  uint8_t data[4] = {};
  EXPECT_EQ(bus.read(6, 4, data), aErrNone);

  for (auto [address, serial] : {std::pair<uint8_t, uint32_t>{4, 0x11112222}, {6, 0x33334444}}) {
    Module target(address, false, 0);
    target.setConfig(config);
    ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);
    SystemClass system;
    system.init(&target, 0);
    uint32_t read = 0;
    ASSERT_EQ(system.getSerialNumber(&read), aErrNone);
    EXPECT_EQ(read, serial);
    uint8_t routerAddress = 0;
    ASSERT_EQ(system.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 2);
    uint32_t build = 0;
    EXPECT_EQ(target.getBuild(&build), aErrNone);
  }
  EXPECT_TRUE(router.isConnected());
  ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
}
