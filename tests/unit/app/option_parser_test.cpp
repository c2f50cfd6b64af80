#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/OptionParser.h"

namespace {

const OptionEntry kTable[] = {
    {1, "-B", SO_NONE}, {1, "-OVERRIDE", SO_NONE}, {1, "-OPEN", SO_NONE},
    {2, "-d", SO_REQ_SEP}, {0, "--help", SO_NONE}, SO_END_OF_OPTIONS,
};

struct Seen {
  OptionError error;
  int id;
  std::string text;
  std::string arg;
};

std::vector<Seen> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  OptionParser parser(static_cast<int>(argv.size()), argv.data(), kTable);
  std::vector<Seen> seen;
  while (parser.Next()) {
    seen.push_back({parser.LastError(), parser.OptionId(), parser.OptionText(),
                    parser.OptionArg() ? parser.OptionArg() : ""});
  }
  return seen;
}

TEST(OptionParser, ExactMatchesAreCaseSensitive) {
  auto seen = parse({"-B", "-b"});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].error, SO_SUCCESS);
  EXPECT_EQ(seen[0].id, 1);
  EXPECT_EQ(seen[1].error, SO_OPT_INVALID);
}

TEST(OptionParser, UniqueAbbreviationMatchesAmbiguousOneFails) {
  auto seen = parse({"-OV", "-O", "--he"});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].error, SO_SUCCESS);
  EXPECT_EQ(seen[0].text, "-OVERRIDE");
  EXPECT_EQ(seen[1].error, SO_OPT_MULTIPLE);
  EXPECT_EQ(seen[2].text, "--help");
  EXPECT_EQ(seen[2].id, 0);
}

TEST(OptionParser, RequiredArgumentIsTheNextWordWhateverItLooksLike) {
  auto seen = parse({"-d", "-B", "-d"});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].arg, "-B");
  EXPECT_EQ(seen[1].error, SO_ARG_MISSING);
}

TEST(OptionParser, LongerWordIsNoAbbreviation) {
  auto seen = parse({"-dX", "-BB"});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].error, SO_OPT_INVALID);
  EXPECT_EQ(seen[1].error, SO_OPT_INVALID);
}

TEST(OptionParser, NonOptionWordsAreSteppedOver) {
  std::vector<std::string> words{"prog", "file1", "-B", "file2"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  OptionParser parser(4, argv.data(), kTable);
  ASSERT_TRUE(parser.Next());
  EXPECT_STREQ(parser.OptionText(), "-B");
  EXPECT_FALSE(parser.Next());
  ASSERT_EQ(parser.Files().size(), 2u);
  EXPECT_STREQ(parser.Files()[1], "file2");
}

}  // namespace
