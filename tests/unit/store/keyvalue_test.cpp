// The settings file: what the reader accepts, what the writer emits, the
// dirty rule and timestamps, and saves that fail without harming the file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "app/Log.h"
#include "store/KeyValueStore.h"
#include "tests/unit/bird/bird_writer.h"
#include "tests/unit/store/child_process.h"

namespace {

using testbird::ReadAll;
using testbird::WriteAll;

std::string text(const std::string& path) {
  std::vector<uint8_t> bytes = ReadAll(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string freshDir(const std::string& name) {
  const std::string dir = testbird::TempDir() + "/" + name;
  mkdir(dir.c_str(), 0777);
  return dir;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

const std::regex kTimestamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

KeyValueStore loaded(const std::string& name, const std::string& contents) {
  const std::string path = freshDir(name) + "/.settings";
  WriteAll(path, contents);
  return KeyValueStore(path.c_str());
}

TEST(SettingsParse, WhitespaceCommentsAndFirstEquals) {
  KeyValueStore store = loaded("parse", "  NAME = A = B  \n#X=1\n #Y = 2\n\tK\t=\tV x\t\r\nE=\n");
  EXPECT_EQ(store.GetString("NAME"), "A = B");
  EXPECT_EQ(store["#X"], nullptr);
  // A "#" after white space is no comment, but a key "#Y" would be saved as
  // a comment line: it is not taken.
  EXPECT_EQ(store["#Y"], nullptr);
  EXPECT_EQ(store.GetString("K"), "V x");
  ASSERT_NE(store["E"], nullptr);
  EXPECT_STREQ(store["E"], "");
  EXPECT_EQ(store.values.size(), 3u);
  EXPECT_FALSE(store.dirty);
}

TEST(SettingsParse, LinesWithoutKeyOrEqualsAreSkipped) {
  KeyValueStore store = loaded("nokey", "a\nLONELY\n= orphan\n   =x\nOK=1\n");
  EXPECT_EQ(store.values.size(), 1u);
  EXPECT_EQ(store.GetString("OK"), "1");
  store.Save();
  EXPECT_EQ(text(store.path), "OK=1\n");
}

TEST(SettingsParse, LastLineWinsAndSaveWritesOneLine) {
  KeyValueStore store = loaded("lastwins", "X=1\nX=2\n");
  EXPECT_EQ(store.GetString("X"), "2");
  EXPECT_TRUE(store.Save().ok());
  EXPECT_EQ(text(store.path), "X=2\n");
}

TEST(SettingsParse, OverlongLineIsSkippedAndTheLinesAfterItAreRead) {
  const std::string longLine = "L=" + std::string(2044, 'v') + "\n";  // 2047 bytes
  const std::string longer = "M=" + std::string(5000, 'w') + "\n";
  KeyValueStore store = loaded("overlong", "A=1\n" + longLine + longer + "B=2\n");
  EXPECT_EQ(store.GetString("A"), "1");
  EXPECT_EQ(store["L"], nullptr);
  EXPECT_EQ(store["M"], nullptr);
  EXPECT_EQ(store.GetString("B"), "2");
  KeyValueStore fits = loaded("fits", "A=1\nL=" + std::string(2043, 'v') + "\nB=2\n");
  EXPECT_EQ(fits.GetString("L").size(), 2043u);
  EXPECT_EQ(fits.GetString("B"), "2");
}

// What a save writes, a load reads back: values just under, at and over the
// line limit, and a key the format cannot hold, which is refused instead.
TEST(SettingsRoundTrip, SaveThenLoadGivesTheSamePairsOrRefusesThePair) {
  const std::string path = freshDir("roundtrip") + "/.settings";
  KeyValueStore store;
  const std::string under(2043, 'u');   // "U=" + value + "\n" is 2046 bytes
  EXPECT_TRUE(store.Add("U", under));
  EXPECT_FALSE(store.Add("T", std::string(2044, 't')));  // 2047 bytes: never read
  EXPECT_FALSE(store.Add("V", std::string(3000, 'v')));
  EXPECT_FALSE(store.Add("#A", "1"));
  EXPECT_FALSE(store.Add(" K", "1"));
  EXPECT_FALSE(store.Add("K", "two\nlines"));
  EXPECT_FALSE(store.Add("K", "trailing "));
  EXPECT_TRUE(store.Add("Z", "after every other key"));
  EXPECT_EQ(store["T"], nullptr);
  store.values["#B"] = "put straight into the map";
  store.Save(path.c_str());
  KeyValueStore first(path.c_str());
  EXPECT_EQ(first.GetString("U"), under);
  EXPECT_EQ(first.GetString("Z"), "after every other key");
  EXPECT_EQ(first["#B"], nullptr);
  first.Save();
  KeyValueStore second(path.c_str());
  EXPECT_EQ(second.values, first.values);
  // A file written elsewhere with " #A=1" and an over-long line loads, saves
  // and loads to the same pairs.
  KeyValueStore odd = loaded("odd", " #A=1\nT=" + std::string(2044, 't') + "\nZ=9\n");
  odd.Save();
  EXPECT_EQ(KeyValueStore(odd.path.c_str()).values, odd.values);
  EXPECT_EQ(odd.GetString("Z"), "9");
}

TEST(SettingsWrite, ByteOrderOfKeys) {
  KeyValueStore store;
  store.Add("b", "2");
  store.Add("a", "1");
  store.Add("B", "3");
  const std::string path = freshDir("order") + "/s";
  store.Save(path.c_str());
  // Plain byte order: upper case before lower case, the stamp among them.
  EXPECT_TRUE(std::regex_match(text(path), std::regex("B=3\nUPDATED_TIME=.{24}\na=1\nb=2\n"))) << text(path);
}

TEST(SettingsGetters, TypedReadsAndDefaults) {
  KeyValueStore store = loaded("getters", "F=12345.bird\nE=\nB=true\nO=1\nD=2.5\nH=ff\n");
  EXPECT_EQ(store.GetInt("F", -1), 12345);
  EXPECT_EQ(store.GetInt("E", 42), 42);
  EXPECT_FALSE(store.GetBOOL("B", true));
  EXPECT_TRUE(store.GetBOOL("O"));
  EXPECT_DOUBLE_EQ(store.GetDouble("D"), 2.5);
  EXPECT_EQ(store.GetHex("H"), 0xFFu);
  EXPECT_EQ(store.GetString("NONE", nullptr), "");
  EXPECT_EQ(store.GetString("NONE", "dflt"), "dflt");
  EXPECT_EQ(store.GetString("E", "dflt"), "");
  EXPECT_EQ(store["NONE"], nullptr);  // neither getter recorded it
}

TEST(SettingsGetters, NumericGetterRecordsAbsentKey) {
  KeyValueStore store = loaded("record", "UPDATED_TIME=old\n");
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 7), 7);
  EXPECT_EQ(store.GetHex("HEX", 3), 3u);
  EXPECT_FALSE(store.dirty);
  store.Save();
  EXPECT_EQ(text(store.path), "HEX=\nLATEST_DOWNLOAD=\nUPDATED_TIME=old\n");
}

TEST(SettingsSetters, StoredTexts) {
  KeyValueStore store;
  store.Add("I", -7);
  store.Add("D", 1.5);
  store.AddHex("H", 0xFFFFFFFF);
  store.Add("S", std::string("text"));
  EXPECT_EQ(store.GetString("I"), "-7");
  EXPECT_EQ(store.GetString("D"), "1.500000");
  EXPECT_EQ(store.GetString("H"), "0xFFFFFFFF");
  EXPECT_EQ(store.GetHex("H"), 0xFFFFFFFFu);
  EXPECT_EQ(store.GetString("S"), "text");
}

TEST(SettingsDirty, UnchangedValueKeepsUpdatedTime) {
  KeyValueStore store = loaded("clean", "UPDATED_TIME=old\nV=1\n");
  store.Add("V", "1");
  store.Add("NEW", "");  // an absent key counts as empty
  EXPECT_FALSE(store.dirty);
  store.Save();
  EXPECT_EQ(text(store.path), "NEW=\nUPDATED_TIME=old\nV=1\n");
}

TEST(SettingsDirty, ChangedValueStampsUpdatedTime) {
  KeyValueStore store = loaded("changed", "UPDATED_TIME=old\nV=1\n");
  store.Add("V", "2");
  EXPECT_TRUE(store.dirty);
  store.Save();
  EXPECT_FALSE(store.dirty);
  EXPECT_TRUE(std::regex_match(store.GetString("UPDATED_TIME"), kTimestamp)) << store.GetString("UPDATED_TIME");
  EXPECT_EQ(KeyValueStore(store.path.c_str()).GetString("UPDATED_TIME"), store.GetString("UPDATED_TIME"));
}

TEST(SettingsDirty, ClearAndMergeMakeDirty) {
  KeyValueStore other;
  other.Add("A", "x");
  KeyValueStore store = loaded("merge", "A=x\nB=y\n");
  store.Add(other);
  EXPECT_TRUE(store.dirty);  // even when the value was already there
  KeyValueStore cleared = loaded("cleared", "A=1\n");
  EXPECT_TRUE(cleared.Clear());
  EXPECT_TRUE(cleared.dirty);
  EXPECT_TRUE(cleared.values.empty());
}

TEST(SettingsCreate, MissingFileBecomesTwoTimestampLines) {
  const std::string path = freshDir("create") + "/.settings";
  KeyValueStore store(path.c_str());
  EXPECT_TRUE(std::regex_match(text(path), std::regex("CREATED_TIME=.{24}\nUPDATED_TIME=.{24}\n")));
  EXPECT_TRUE(std::regex_match(store.GetString("CREATED_TIME"), kTimestamp));
  EXPECT_EQ(store.path, path);
  EXPECT_FALSE(store.dirty);
}

TEST(SettingsCreate, SaveWithoutPathUsesDefaultInCurrentDirectory) {
  const std::string dir = freshDir("cwd");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  KeyValueStore store;
  store.Add("K", "v");
  store.Save(nullptr);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(store.path, ".settings");
  EXPECT_EQ(text(dir + "/.settings").substr(0, 4), "K=v\n");
}

TEST(SettingsFailure, UnreadableFileIsNeverReplaced) {
  const std::string dir = freshDir("unreadable");
  chmod(testbird::TempDir().c_str(), 0755);
  chmod(dir.c_str(), 0777);  // a rename over the file would be allowed
  const std::string path = dir + "/.settings";
  WriteAll(path, "HISTORY=precious\n");
  chmod(path.c_str(), 0);
  const int result = teststore::RunInChild(
      [&] {
        KeyValueStore store(path.c_str());
        store.Add("K", "v");
        const KeyValueStore::SaveResult saved = store.Save();
        return store.GetString("K") == "v" && store["CREATED_TIME"] == nullptr && saved.error == EACCES ? 0 : 1;
      },
      true);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(text(path), "HISTORY=precious\n");
  EXPECT_EQ(entries(dir), std::vector<std::string>{".settings"});
}

TEST(SettingsFailure, SaveIntoReadOnlyDirectoryKeepsOldFile) {
  const std::string dir = freshDir("readonly");
  chmod(testbird::TempDir().c_str(), 0755);
  const std::string path = dir + "/.settings";
  WriteAll(path, "HISTORY=precious\n");
  chmod(path.c_str(), 0666);
  chmod(dir.c_str(), 0555);
  const int result = teststore::RunInChild(
      [&] {
        testbird::LogCapture log(DEBUG_Attributes);
        KeyValueStore store(path.c_str());
        store.Add("K", "v");
        const KeyValueStore::SaveResult saved = store.Save();
        const bool logged =
            log.Text().find("Attibutes: Error - cannot open attributes file for writting: '" + path + "' (13)\n") !=
            std::string::npos;
        return store.dirty && logged && saved.error == EACCES ? 0 : 1;  // a failed save stays dirty
      },
      true);
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(text(path), "HISTORY=precious\n");
}

TEST(SettingsFailure, WriteCutShortLeavesOldFileWhole) {
  const std::string dir = freshDir("torn");
  const std::string path = dir + "/.settings";
  const std::string history = "A=1\nHISTORY=" + std::string(100, 'h') + "\n";
  WriteAll(path, history);
  const int result = teststore::RunInChild(
      [&] {
        // Files may grow to 64 bytes only: the write fails part way, like a full disk.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        KeyValueStore store(path.c_str());
        store.Add("BIG", std::string(500, 'b'));
        const KeyValueStore::SaveResult saved = store.Save();
        return store.dirty && saved.error == EFBIG ? 0 : 1;
      },
      false);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(text(path), history);
  EXPECT_EQ(entries(dir), std::vector<std::string>{".settings"});  // no temporary left behind
}

}  // namespace
