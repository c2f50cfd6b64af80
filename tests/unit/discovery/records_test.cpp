// linkSpec heap records, the interface helpers and the dispatch of
// aDiscovery_EnumerateModules.
#include <arpa/inet.h>
#include <string.h>

#include <gtest/gtest.h>

#include "discovery_helpers.h"
#include "link/api/aDiscovery.h"

namespace {

using disctest::AllZeroFrom;
using disctest::Collector;

TEST(LinkSpecRecord, CreateIsZeroedWithTheType) {
  linkSpec* spec = aLinkSpec_Create(linkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, static_cast<uint32_t>(linkTypeTCPIP));
  EXPECT_TRUE(AllZeroFrom(*spec, 4));
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
}

TEST(LinkSpecRecord, CopyIsWholeAndIndependent) {
  linkSpec original;
  for (size_t i = 0; i < sizeof original; ++i) reinterpret_cast<uint8_t*>(&original)[i] = static_cast<uint8_t>(i * 7);
  linkSpec* copy = aLinkSpec_Copy(&original);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, &original, sizeof original), 0);
  copy->serialNumber ^= 1;
  EXPECT_NE(copy->serialNumber, original.serialNumber);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  aLinkSpec_Destroy(&copy);
}

TEST(LinkSpecRecord, DestroyOfNothingIsAParameterError) {
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  linkSpec* none = nullptr;
  EXPECT_EQ(aLinkSpec_Destroy(&none), aErrParam);
  linkSpec* spec = aLinkSpec_Create(linkTypeUSB);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
}

TEST(ConvertIPv4Interface, FifteenBytesAreTooFew) {
  char text[15];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0x7F000001), text, sizeof text), 0u);
  for (char c : text) EXPECT_EQ(c, '\0');  // zeroed all the same
}

TEST(ConvertIPv4Interface, SixteenBytesHoldTheLongestAddress) {
  char text[16];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFFu, text, sizeof text), 15u);
  EXPECT_STREQ(text, "255.255.255.255");
}

TEST(ConvertIPv4Interface, NetworkOrderGivesDottedText) {
  char text[32];
  memset(text, 'x', sizeof text);
  in_addr address{};
  inet_pton(AF_INET, "198.18.0.1", &address);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address.s_addr, text, sizeof text), 10u);
  EXPECT_STREQ(text, "198.18.0.1");
  EXPECT_EQ(text[11], '\0');  // the rest was zeroed first
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address.s_addr, nullptr, 16), 0u);
}

TEST(GetIPv4Interfaces, NullOrEmptyArrayWritesNothing) {
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
  uint32_t one = 0xA5A5A5A5u;
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(&one, 0), 0u);
  EXPECT_EQ(one, 0xA5A5A5A5u);
}

TEST(GetIPv4Interfaces, ListsTheTestNetworkInsideTheNamespace) {
  REQUIRE_NETNS();
  uint32_t addresses[50] = {};
  uint32_t count = aDiscovery_GetIPv4Interfaces(addresses, 50);
  in_addr tv0{};
  inet_pton(AF_INET, "198.18.0.1", &tv0);
  ASSERT_EQ(count, 1u);  // tv0; loopback is not a beacon interface
  EXPECT_EQ(addresses[0], tv0.s_addr);
  uint32_t limited[1] = {};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(limited, 1), 1u);
}

TEST(EnumerateModules, OtherLinkTypesFindNothing) {
  Collector collector;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeStream, Collector::Callback, &collector, 0), 0u);
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeSerial, Collector::Callback, &collector, 0), 0u);
  EXPECT_EQ(aDiscovery_EnumerateModules(99, Collector::Callback, &collector, 0), 0u);
  EXPECT_TRUE(collector.specs.empty());
  EXPECT_EQ(aDiscovery_FindModule(linkTypeSerial, 0x40F5849A, 0), nullptr);
  EXPECT_EQ(aDiscovery_FindFirstModule(linkTypeStream, 0), nullptr);
}

}  // namespace
