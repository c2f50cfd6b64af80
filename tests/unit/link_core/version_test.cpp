#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include "link/core/aDefs.h"
#include "link/core/aVersion.h"

namespace {

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t word;
  bool legacy;
};

class VersionPacking : public ::testing::TestWithParam<PackCase> {};

TEST_P(VersionPacking, PacksAndParsesBack) {
  const PackCase& c = GetParam();
  uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
  EXPECT_EQ(word, c.word);
  EXPECT_EQ(aVersion_IsLegacyFormat(word), c.legacy);
  EXPECT_EQ(aVersion_ParseMajor(word), c.major);
  EXPECT_EQ(aVersion_ParseMinor(word), c.minor);
  EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, VersionPacking,
                         ::testing::Values(PackCase{2, 14, 7, 0x2E000007u, true},
                                           PackCase{2, 15, 7, 0x2F020F07u, false},
                                           PackCase{3, 0, 1, 0x2F030001u, false},
                                           PackCase{1, 2, 3, 0x12000003u, true}),
                         [](const ::testing::TestParamInfo<PackCase>& info) {
                           // Printed, not concatenated: GCC's -O3 overlap check
                           // misreads "v" + std::string.
                           const PackCase& c = info.param;
                           char name[16];
                           snprintf(name, sizeof name, "v%u_%u_%u", c.major, c.minor, c.patch);
                           return std::string(name);
                         });

TEST(VersionParsing, LegacyPatchIsTwentyFourBits) {
  EXPECT_EQ(aVersion_ParsePatch(0x1A012345u), 0x012345u);
  char text[32];
  aVersion_ParseString(0x2F020F07u, text, sizeof text);
  EXPECT_STREQ(text, "2.15.7");
}

TEST(VersionCompare, LexicographicPerComponent) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 4, 2, 11, 4));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 4, 2, 11, 5));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 4));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 0));
}

TEST(LibraryVersion, StringAndFeatures) {
  EXPECT_STREQ(aVersion_GetString(), "2.11.4");
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(ModelNames, SeventeenDistinctNamesNoneAPrefixOfAnother) {
  std::vector<std::string> names;
  for (uint32_t model = 0; model < 256; ++model) {
    std::string name = aDefs_GetModelName(model);
    if (name != "Unknown") names.push_back(name);
  }
  ASSERT_EQ(names.size(), 17u);
  for (const auto& a : names) {
    EXPECT_LE(a.size(), 12u) << a;  // the device list prints the name in 12 columns
    for (const auto& b : names) {
      if (&a != &b) {
        EXPECT_NE(b.rfind(a, 0), 0u) << a << " is a prefix of " << b;
      }
    }
  }
  EXPECT_STREQ(aDefs_GetModelName(0x1000), "Unknown");
}

}  // namespace
