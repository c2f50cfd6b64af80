#include <gtest/gtest.h>

#include "server/ReplyLines.h"

using Lines = ReplyLines;

TEST(ReplyLines, EmptyLinesSkippedCarriageReturnsKept) {
  EXPECT_EQ(_reply_lines("ok\n\n5678\r\n\n1.2.3\r\n"), (Lines{"ok", "5678\r", "1.2.3\r"}));
  EXPECT_EQ(_reply_lines("ok"), (Lines{"ok"}));
  EXPECT_EQ(_reply_lines("\n\n"), Lines{});
  EXPECT_EQ(_reply_lines(""), Lines{});
  EXPECT_EQ(_reply_lines("\r\n"), (Lines{"\r"}));
  EXPECT_EQ(_reply_lines("\nok\n\npayload\nmore\n", 2), (Lines{"ok", "payload"}));
}

TEST(ReplyLines, FirstLineMustBeginWithOk) {
  EXPECT_TRUE(_reply_ok({"ok"}));
  EXPECT_TRUE(_reply_ok({"okay"}));
  EXPECT_TRUE(_reply_ok({"ok\r"}));
  EXPECT_FALSE(_reply_ok({"OK"}));
  EXPECT_FALSE(_reply_ok({" ok"}));
  EXPECT_FALSE(_reply_ok({"o"}));
  EXPECT_FALSE(_reply_ok({}));
}

TEST(ReplyLines, BuildListFirstOccurrenceWinsShortLinesSkipped) {
  BuildList builds;
  _parse_build_list(_reply_lines("ok\n100;1.0.0\n101;1.1.0\n100;9.9.9\nx\n"), builds);
  EXPECT_EQ(builds, (BuildList{{"100", "1.0.0"}, {"101", "1.1.0"}}));
}

TEST(ReplyLines, BuildListCutsAtSemicolonAndCarriageReturn) {
  BuildList builds;
  _parse_build_list(_reply_lines("ok\r\n1234;1.2.3\r\n5678\r\n42;\r\n900;2.0.0;extra\n77\r\n"), builds);
  EXPECT_EQ(builds, (BuildList{{"1234", "1.2.3"}, {"5678", ""}, {"42", ""}, {"900", "2.0.0"}, {"77", ""}}));
}

TEST(ReplyLines, BuildListIgnoresTheFirstLine) {
  BuildList builds;
  _parse_build_list({"ok;1.0.0"}, builds);
  EXPECT_TRUE(builds.empty());
}

TEST(ReplyLines, TokenNeedsThreePartsOfTwoCharacters) {
  std::string token = "unchanged";
  EXPECT_TRUE(_parse_jwt("aa.bb.cc\r", token));
  EXPECT_EQ(token, "aa.bb.cc");
  EXPECT_TRUE(_parse_jwt("aa.bb.cc.dd", token));  // the rest after the second "." is the signature
  EXPECT_EQ(token, "aa.bb.cc.dd");
  token = "unchanged";
  for (const char* bad : {"aa.bb", "aabbcc", "a.bb.cc", "aa.b.cc", "aa.bb.c", "aa.bb.\r", "..", ""}) {
    EXPECT_FALSE(_parse_jwt(bad, token)) << bad;
    EXPECT_EQ(token, "unchanged");
  }
}
