#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "server/UpdateServerRequest.h"

namespace {

std::vector<std::string> buildsOf(const std::vector<BuildEntry>& entries) {
  std::vector<std::string> builds;
  for (const auto& e : entries) builds.push_back(e.first);
  return builds;
}

TEST(VersionSplit, OnlyThreeParts) {
  EXPECT_TRUE(UpdateServerRequest::SplitTolvarineVersion("1.2").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitTolvarineVersion("1.2.3.4").empty());
  EXPECT_EQ(UpdateServerRequest::SplitTolvarineVersion("1.2.3"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(UpdateServerRequest::SplitTolvarineVersion("..").size(), 3u);
}

TEST(VersionOrder, NewestFirstComparedNumerically) {
  BuildList builds{{"100", "1.2.3"}, {"101", "1.10.0"}, {"102", "2.0.0"}};
  EXPECT_EQ(buildsOf(UpdateServerRequest::SortBuildsByVersion(builds)),
            (std::vector<std::string>{"102", "101", "100"}));
}

TEST(VersionOrder, MalformedVersionsComeLastByBuildNewestFirst) {
  BuildList builds{{"7", ""}, {"300", "1.0"}, {"200", "1.x.0"}, {"5", "0.0.1"}, {"90", "3.1.4"}, {"1000", "a.b.c"}};
  EXPECT_EQ(buildsOf(UpdateServerRequest::SortBuildsByVersion(builds)),
            (std::vector<std::string>{"90", "5", "1000", "300", "200", "7"}));
}

TEST(VersionOrder, IsAStrictWeakOrderingOverMixedLists) {
  std::vector<std::string> versions{"1.2.3", "", "1.2", "2.0.0", "x", "1.2.3", "0.0.0", "9.9.9.9", "1.256.0"};
  std::vector<BuildEntry> entries;
  for (size_t i = 0; i < 40; ++i) entries.push_back({std::to_string(i * 7 % 23), versions[i % versions.size()]});
  for (const auto& a : entries) {
    EXPECT_FALSE(_sortVersion(a, a));
    for (const auto& b : entries) {
      if (_sortVersion(a, b)) {
        EXPECT_FALSE(_sortVersion(b, a));
      }
      for (const auto& c : entries) {
        if (_sortVersion(a, b) && _sortVersion(b, c)) {
          EXPECT_TRUE(_sortVersion(a, c));
        }
      }
    }
  }
  std::mt19937 shuffle(42);
  std::shuffle(entries.begin(), entries.end(), shuffle);
  std::sort(entries.begin(), entries.end(), _sortVersion);
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), _sortVersion));
}

}  // namespace
