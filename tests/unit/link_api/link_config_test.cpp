// A Link and a Module that are not connected: configuration, and every
// operation's refusal before anything reaches a device.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "link/api/I2CClass.h"
#include "link/api/Link.h"
#include "link/api/Module.h"
#include "link/api/SystemClass.h"

using namespace Veltrane::Tolvarine;

TEST(LinkConfig, DefaultsAndNameCopy) {
  std::string longName(2000, 'n');
  Link link(longName.c_str());
  EXPECT_EQ(strlen(link.getName()), 1024u);
  Link unnamed(nullptr);
  EXPECT_STREQ(unnamed.getName(), "");

  aEtherConfig config;
  config.serverPort = 99;
  ASSERT_EQ(link.getConfig(&config), aErrNone);
  EXPECT_TRUE(config.sharingEnabled);
  EXPECT_TRUE(config.fallbackEnabled);
  EXPECT_TRUE(config.localOnly);
  EXPECT_EQ(config.serverPort, 0);
  const uint8_t loopback[4] = {0x7F, 0, 0, 1};
  EXPECT_EQ(memcmp(&config.interfaceAddress, loopback, 4), 0);
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);
}

TEST(LinkConfig, SpecifierIsCopiedInAndOut) {
  Link link("l");
  linkSpec out{};
  EXPECT_EQ(link.getLinkSpecifier(&out), aErrNotFound);
  linkSpec spec{};
  spec.type = linkTypeSerial;
  spec.serialNumber = 0x40F5849A;
  strcpy(spec.devicePath, "/dev/ttyX");
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  spec.serialNumber = 1;  // the link holds its own copy
  ASSERT_EQ(link.getLinkSpecifier(&out), aErrNone);
  EXPECT_EQ(out.serialNumber, 0x40F5849Au);
  EXPECT_STREQ(out.devicePath, "/dev/ttyX");

  Link withSpec(spec, "s");
  ASSERT_EQ(withSpec.getLinkSpecifier(&out), aErrNone);
  EXPECT_EQ(out.serialNumber, 1u);
}

TEST(LinkConnect, RefusalsBeforeAnyEngineLinkExists) {
  Link link("l");
  EXPECT_EQ(link.connect(), aErrConfiguration);
  EXPECT_EQ(link.getStatus(), linkStateDeliveryError);
  EXPECT_FALSE(link.isConnected());

  linkSpec spec{};
  spec.type = linkTypeStream;  // a caller stream cannot come from a specifier
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(link.connect(), aErrMode);

  spec.type = linkTypeClient;
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  aEtherConfig unshared;
  unshared.sharingEnabled = false;
  ASSERT_EQ(link.setConfig(unshared), aErrNone);
  EXPECT_EQ(link.connect(), aErrConfiguration);

  Link router("router");
  EXPECT_EQ(link.connectThroughLinkModule(router), aErrInitialization);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  EXPECT_EQ(link.enablePacketLog("/tmp/never"), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
}

TEST(LinkTransactions, UnconnectedLinkAnswersWithoutSending) {
  Link link("l");
  uint8_t address = 7;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  uei value{};
  value.module = 2;
  EXPECT_EQ(link.sendUEI(value), aErrConnection);
  EXPECT_EQ(link.sendUEI(value, 1), aErrConnection);
  EXPECT_EQ(link.receiveUEI(2, 3, 8, 0, &value), aErrConnection);
  uint8_t data[aPACKET_MAX_DATA] = {};
  uint8_t length = 0;
  uint32_t count = 0;
  EXPECT_EQ(link.sendPacket(2, 23, 0, data), aErrConnection);
  EXPECT_EQ(link.receivePacket(2, data, &length, data), aErrConnection);
  EXPECT_EQ(link.storeSlotSize(2, 0, 0, &count), aErrConnection);
  EXPECT_EQ(link.loadStoreSlot(2, 0, 0, data, 1), aErrConnection);
  EXPECT_EQ(link.getFactoryData(2, 1, data, sizeof data, &count), aErrConnection);
  // Stream registration reaches its UEI exchange and fails there, leaving no key.
  EXPECT_EQ(link.enableStream(2, 3, 12, 0, true), aErrConnection);
  EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255).empty());
  Link::StreamStatusEntry entries[2];
  uint32_t written = 0;
  EXPECT_EQ(link.getStreamStatus(2, 255, 255, 255, 255, entries, 2, &written), aErrConnection);
  EXPECT_EQ(link.getStreamValue(2, 3, 12, 0, 0, &count), aErrNotFound);
}

TEST(LinkStreams, RegistrationRefusesOddAndWildcardModules) {
  Link link("l");
  EXPECT_EQ(link.enableStream(255, 3, 12, 0, true), aErrParam);
  EXPECT_EQ(link.enableStream(3, 3, 12, 0, true), aErrParam);
  EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255).empty());
}

TEST(ModuleUnconnected, ConnectionsAndQueriesRefuse) {
  Module module(2, 0);
  EXPECT_EQ(module.connect(linkTypeTCPIP, 0), aErrParam);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), linkStateDeliveryError);
  EXPECT_EQ(module.reconnect(), aErrConfiguration);
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0xC0), aErrParam);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0x01), aErrParam);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0x80), aErrConnection);
  uint8_t count = 9;
  EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(module.debug(reinterpret_cast<const uint8_t*>("x"), 1), aErrConnection);
  aEtherConfig config;
  EXPECT_EQ(module.getConfig(nullptr), aErrParam);
  EXPECT_EQ(module.setConfig(config), aErrNone);
  Module router(4, 0);
  EXPECT_EQ(module.connectThroughLinkModule(&router), aErrNotFound);  // router has no specifier
  EXPECT_EQ(module.connectThroughLinkModule(nullptr), aErrInitialization);
}

TEST(EntityUnbound, OperationsWithoutModuleAreResourceErrors) {
  SystemClass system;
  uint8_t value = 0;
  uint32_t count = 0;
  uint8_t buffer[4];
  EXPECT_EQ(system.getModel(&value), aErrResource);
  EXPECT_EQ(system.save(), aErrResource);
  EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrResource);
  EXPECT_EQ(system.getName(buffer, 0, &count), aErrParam);
  EXPECT_EQ(system.getModel(nullptr), aErrParam);
  EXPECT_EQ(system.setStreamEnabled(true), aErrResource);
  EXPECT_EQ(system.awaitUEI32Val(1, &count), aErrResource);
}

TEST(EntityBytesCheck, WholeUnitsDivideAndRemaindersStay) {
  SystemClass system;
  uint32_t count = 12;
  EXPECT_EQ(system.getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 3u);
  count = 10;
  EXPECT_EQ(system.getUEIBytesCheck(&count, 4), aErrMemory);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(system.getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST(I2CUnconnected, SpeedAndLengthLimitsComeFirst) {
  Module module(2, 0);
  I2CClass bus;
  bus.init(&module, 0);
  uint8_t speed = 9;
  EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  EXPECT_EQ(bus.setSpeed(3), aErrNone);
  EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 3);
  uint8_t data[32] = {};
  EXPECT_EQ(bus.read(0x50, 24, data), aErrSize);
  EXPECT_EQ(bus.write(0x50, 24, data), aErrSize);
  EXPECT_EQ(bus.read(0x50, 23, data), aErrConnection);  // it would send
}
