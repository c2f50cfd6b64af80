#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "store/aDirectory.h"

namespace {

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dirtest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    umask(022);
  }
  void TearDown() override { aDirectory_DeleteTree(root.c_str()); }
  std::string root;
};

unsigned modeOf(const std::string& path) {
  struct stat status;
  stat(path.c_str(), &status);
  return status.st_mode & 0777;
}

TEST(BuildPathJoin, BuildPathAlwaysInsertsTheSeparator) {
  EXPECT_EQ(BuildPath("a/", "b", "c"), "a//b/c");
  char buffer[64];
  ASSERT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a/", "b", "c", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "a/b/c");
  ASSERT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", "/b", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "a/b");
  ASSERT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "x", "y"), aErrNone);
  EXPECT_STREQ(buffer, "x/y");
}

TEST(BuildPathJoin, TooManyPartsAndOverrun) {
  char buffer[64];
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
            aErrNone);
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                 nullptr),
            aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 9, "abc", "def", "ghi", nullptr), aErrOverrun);
  EXPECT_STREQ(buffer, "abc/def");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), aErrParam);
}

TEST_F(Scratch, EnsureCreatesEveryMissingLevelWithTheMode) {
  const std::string a = root + "/a";
  ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
  ASSERT_EQ(aDirectory_Ensure((a + "/b/c").c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((a + "/b").c_str()));
  EXPECT_EQ(modeOf(a + "/b"), 0755u);
  EXPECT_EQ(modeOf(a + "/b/c"), 0755u);
  EXPECT_EQ(modeOf(a), 0700u);  // existing levels are left as they are
  EXPECT_EQ(aDirectory_Ensure((a + "/b/c").c_str(), 0700), aErrNone);
  EXPECT_EQ(modeOf(a + "/b/c"), 0755u);
}

TEST_F(Scratch, EnsureBelowAFileFails) {
  const std::string file = root + "/file";
  std::ofstream(file) << "x";
  EXPECT_EQ(aDirectory_Ensure((file + "/sub").c_str(), 0755), aErrPermission);
}

TEST_F(Scratch, ListGivesEveryEntryAndStopsWhenAsked) {
  std::ofstream(root + "/one") << "12345";
  mkdir((root + "/two").c_str(), 0755);
  std::set<std::string> names;
  auto collect = [](const aDirectoryListData* data, void* context) {
    static_cast<std::set<std::string>*>(context)->insert(std::string(data->path) + ":" +
                                                         std::to_string(data->size * !data->isDirectory) + ":" +
                                                         std::to_string(data->isDirectory));
    return true;
  };
  ASSERT_EQ(aDirectory_List(root.c_str(), collect, &names), aErrNone);
  EXPECT_TRUE(names.count(root + "/one:5:0"));
  EXPECT_TRUE(names.count(root + "/two:0:1"));
  EXPECT_TRUE(names.count(root + "/.:0:1"));
  int calls = 0;
  aDirectory_List(root.c_str(), [](const aDirectoryListData*, void* c) { return ++*static_cast<int*>(c) < 1; },
                  &calls);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(aDirectory_List((root + "/missing").c_str(), collect, &names), aErrNotFound);
}

TEST_F(Scratch, DeleteTreeRemovesEverythingBelow) {
  const std::string top = root + "/top";
  ASSERT_EQ(aDirectory_Ensure((top + "/x/y").c_str(), 0755), aErrNone);
  std::ofstream(top + "/x/y/f") << "z";
  EXPECT_EQ(aDirectory_Delete(top.c_str()), aErrUnknown);  // not empty
  EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(top.c_str()));
}

TEST(HomeDirectory, AlwaysTerminatedAndSizeChecked) {
  char home[2048];
  EXPECT_EQ(aDirectory_GetHomeDirectory(home, sizeof home), aErrNone);
  EXPECT_GT(strlen(home), 0u);
  char tiny[2] = {'x', 'x'};
  EXPECT_NE(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
  EXPECT_EQ(tiny[0], '\0');
  char exe[4096];
  EXPECT_EQ(aDirectory_ExecutableFilePath(exe, sizeof exe), aErrNone);
  EXPECT_NE(std::string(exe).find("store_paths_test"), std::string::npos);
}

}  // namespace
