// The package's identity read from its INFO block, and the fit checks.
#include <gtest/gtest.h>

#include "app/Log.h"
#include "bird/BirdFile.h"
#include "tests/unit/bird/bird_writer.h"

namespace {

BirdFile withInfo(const std::string& infoJson, const std::string& name) {
  return BirdFile(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 0, "image": "00"}, )" + infoJson + "]}",
                                      name));
}

TEST(BirdIdentity, FieldsParseAsTheirKinds) {
  BirdFile file = withInfo(R"({"kind": "info", "build": 12345, "version": "1.2.3", "serial": "0012AB34", "model": "HUB"})",
                           "identity.bird");
  EXPECT_EQ(file.GetSerialNumber(), 0x0012AB34u);
  EXPECT_EQ(file.GetBuild(), 12345u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_TRUE(file.ValidateSerialNumber(0x0012AB34));
  EXPECT_FALSE(file.ValidateSerialNumber(0x0012AB35));
}

TEST(BirdIdentity, FieldsStopAtTheirLimits) {
  // 16 full characters: build and version read only the first 15; the
  // serial number stops at the first non-hexadecimal character.
  BirdFile file = withInfo(
      R"({"kind": "info", "build": "0000000000123456", "version": "abcdefghijklmnop", "serial": "12ABxyz9", "model": "M"})",
      "limits.bird");
  EXPECT_EQ(file.GetBuild(), 12345u);
  EXPECT_EQ(file.GetVersion(), "abcdefghijklmno");
  EXPECT_EQ(file.GetSerialNumber(), 0x12ABu);
}

TEST(BirdIdentity, FirstInfoBlockWins) {
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "info", "build": 1, "version": "one"},
                                                    {"kind": "info", "build": 2, "version": "two"}]})",
                                    "two_infos.bird"));
  EXPECT_EQ(file.GetBuild(), 1u);
  EXPECT_EQ(file.GetVersion(), "one");
}

TEST(BirdIdentity, NoInfoBlockMeansNothingKnown) {
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 0, "image": "00"}]})", "no_info.bird"));
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_TRUE(file.ValidateSerialNumber(0));
}

TEST(BirdModel, PrefixOfTheStrippedField) {
  BirdFile file = withInfo(R"({"kind": "info", "model": "ABC"})", "model.bird");
  testbird::LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ValidateModel("ABC"));
  EXPECT_TRUE(file.ValidateModel("AB"));
  EXPECT_TRUE(file.ValidateModel(""));
  EXPECT_FALSE(file.ValidateModel("ABCD"));
  EXPECT_FALSE(file.ValidateModel("ABC "));
  EXPECT_FALSE(file.ValidateModel("XYZ"));
  EXPECT_NE(log.Text().find("Model matches model number ([ABC] == [AB])\n"), std::string::npos);
}

TEST(BirdModel, FullSixteenCharacterField) {
  BirdFile file = withInfo(R"({"kind": "info", "model": "ABCDEFGHIJKLMNOP"})", "model16.bird");
  EXPECT_TRUE(file.ValidateModel("ABCDEFGHIJKLMNOP"));
  EXPECT_FALSE(file.ValidateModel("ABCDEFGHIJKLMNOPQ"));
}

}  // namespace
