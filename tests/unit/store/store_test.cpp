// The store on disk: device directories, containment matching, listings,
// and Bird files written and read back through an item.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "store/UpdaterStore.h"
#include "tests/unit/bird/bird_writer.h"
#include "tests/unit/store/child_process.h"

namespace {

using testbird::ReadAll;
using testbird::WriteAll;

std::string text(const std::string& path) {
  std::vector<uint8_t> bytes = ReadAll(path);
  return std::string(bytes.begin(), bytes.end());
}

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing)) {
      if (entry->d_name[0] != '.' || (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)) {
        names.insert(entry->d_name);
      }
    }
    closedir(listing);
  }
  return names;
}

std::string base(const std::string& name) { return testbird::TempDir() + "/store_" + name; }

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
  std::vector<std::string> infos, errors;
};

TEST(StoreLayout, AddDeviceMakesSerialDirectoryWithSettings) {
  umask(022);
  UpdaterStore store(base("add") + "/nested/updater");
  UpdaterStoreItem item = store.AddDevice(0x12ABu);
  const std::string dir = store.BasePath() + "/000012AB";
  struct stat status;
  ASSERT_EQ(stat(dir.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0755u);
  EXPECT_EQ(item.basePath, store.BasePath());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  const std::string settings = text(dir + "/.settings");
  EXPECT_TRUE(std::regex_match(settings, std::regex("CREATED_TIME=.{24}\nUPDATED_TIME=.{24}\n"))) << settings;

  testbird::LogCapture log(DEBUG_Updater);
  store.AddDevice(0x12ABu);
  EXPECT_EQ(text(dir + "/.settings"), settings);
  EXPECT_NE(log.Text().find("UpdaterStore: [" + dir + "] already exists.\n"), std::string::npos);
}

TEST(StoreLayout, BasePathThatIsAFileThrows) {
  const std::string file = base("file");
  WriteAll(file, "x");
  EXPECT_EQ(errorOf([&] { UpdaterStore store(file); }), "UpdaterStore: " + file + " exists and is a file");
  EXPECT_EQ(errorOf([&] { UpdaterStore store(file + "/below"); }),
            "UpdaterStore: Could not create directory " + file + "/below error 12");
}

TEST(StoreLayout, CreateReportsFailureOnDisplay) {
  const std::string file = base("display");
  WriteAll(file, "x");
  RecordingDisplay display;
  EXPECT_EQ(_createUpdaterStore(display, file, "Download_Firmware"), nullptr);
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0],
            "Failed to Create UpdaterStore in: Download_Firmware - Exception: UpdaterStore: " + file + " exists and is a file");
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, base("display_ok"), "load_bird");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->BasePath(), base("display_ok"));
}

TEST(StoreFind, ByExactSerialAndByContainment) {
  UpdaterStore store(base("find"));
  store.AddDevice(0x12ABu);
  UpdaterStoreItem item;
  testbird::LogCapture log(DEBUG_Updater);
  ASSERT_TRUE(store.FindDevice(0x12ABu, item));
  EXPECT_EQ(item.basePath, store.BasePath());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
  EXPECT_TRUE(store.FindDevice("12AB"));
  EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Found 12AB.\n"), std::string::npos);
  EXPECT_NE(log.Text().find("_find_item([" + store.BasePath() + "/000012AB], 1, "), std::string::npos);
}

TEST(StoreFind, FirstMatchInListingOrderWins) {
  UpdaterStore store(base("first"));
  store.AddDevice("A0012AB0");
  store.AddDevice("B0012AB0");
  std::string first;
  DIR* dir = opendir(store.BasePath().c_str());
  while (dirent* entry = readdir(dir)) {
    if (first.empty() && std::string(entry->d_name).find("12AB") != std::string::npos) first = entry->d_name;
  }
  closedir(dir);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice("12AB", &item));
  EXPECT_EQ(item.name, first);
}

TEST(StoreFind, MissingDeviceLeavesItemAlone) {
  UpdaterStore store(base("missing"));
  UpdaterStoreItem item;
  item.name = "sentinel";
  testbird::LogCapture log(DEBUG_Updater);
  EXPECT_FALSE(store.FindDevice(0xCAFEu, item));
  EXPECT_EQ(item.name, "sentinel");
  EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Not Found 0000CAFE.\n"), std::string::npos);
  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0xCAFEu, builds));
  EXPECT_TRUE(builds.empty());
}

TEST(StoreList, LocalBuildsSkipDotFiles) {
  UpdaterStore store(base("list"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const std::string dir = store.BasePath() + "/000012AB";
  WriteAll(dir + "/1234.bird", "bird");
  WriteAll(dir + "/notes.txt", "n");
  WriteAll(dir + "/.hidden", "h");
  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0x12ABu, builds));
  std::set<std::string> names;
  for (const UpdaterStoreItem& item : builds) {
    names.insert(item.name);
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    EXPECT_EQ(item.basePath, dir);
  }
  EXPECT_EQ(names, (std::set<std::string>{"1234.bird", "notes.txt"}));
  EXPECT_TRUE(device.FileExists("1234"));
  EXPECT_FALSE(device.FileExists("9999"));
}

TEST(StoreItemSettings, DownloadRecordReadsAsBuildNumber) {
  UpdaterStore store(base("keys"));
  UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
  device.settings.Add("LATEST_DOWNLOAD", "1234.bird");
  device.settings.Save();
  UpdaterStoreItem again;
  ASSERT_TRUE(store.FindDevice(0x40F5849Au, again));
  EXPECT_EQ(again.settings.GetInt("LATEST_DOWNLOAD", 0), 1234);
  EXPECT_EQ(again.settings.GetString("LAST_TRANSFER_VERSION", ""), "");
}

TEST(StoreBird, WriteThenReadBack) {
  UpdaterStore store(base("bird"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const std::vector<uint8_t> package = ReadAll(testbird::WriteBird(
      R"({"blocks": [{"kind": "info", "build": 1234, "version": "3.1"}, {"kind": "firmware", "address": 0, "image": "00"}]})",
      "store.bird"));
  WriteAll(store.BasePath() + "/000012AB/1234.bird", std::string(10000, 'z'));  // a longer old file
  ASSERT_EQ(device.WriteFile("1234.bird", package.data(), package.size()), aErrNone);
  EXPECT_EQ(ReadAll(store.BasePath() + "/000012AB/1234.bird"), package);
  BirdFile file = device.ReadBirdFile("1234.bird");
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "3.1");
  EXPECT_EQ(file.path, store.BasePath() + "/000012AB/1234.bird");
}

TEST(StoreBird, WriteFailures) {
  UpdaterStore store(base("writefail"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const uint8_t byte = 0;
  EXPECT_EQ(device.WriteFile("x.bird", nullptr, 1), aErrNotFound);
  UpdaterStoreItem nowhere(store.BasePath(), "ABSENT", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(nowhere.WriteFile("x.bird", &byte, 1), aErrNotFound);
}

TEST(StoreBird, InterruptedDownloadLeavesOldPackageWhole) {
  UpdaterStore store(base("torn"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const std::string path = store.BasePath() + "/000012AB/5.bird";
  const std::vector<uint8_t> old = ReadAll(testbird::WriteBird(R"({"blocks": [{"kind": "info", "build": 5}]})", "old.bird"));
  WriteAll(path, std::string(old.begin(), old.end()));
  const int result = teststore::RunInChild(
      [&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{256, 256};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::vector<uint8_t> big(4096, 0xEE);
        return device.WriteFile("5.bird", big.data(), big.size()) == aErrIO ? 0 : 1;
      },
      false);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadAll(path), old);
  std::vector<UpdaterStoreItem> builds;
  store.FindLocalBuilds(0x12ABu, builds);
  ASSERT_EQ(builds.size(), 1u);  // no partial file beside it
  EXPECT_EQ(builds[0].name, "5.bird");
}

TEST(StoreBird, WriteRemovesTemporaryFilesOnlyOfWritersThatAreGone) {
  UpdaterStore store(base("leftovers"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const std::string dir = store.BasePath() + "/000012AB";
  // One left by a killed writer, one still held by a live writer's lock.
  WriteAll(dir + "/.~tmp.deadwrit", "half a package");
  WriteAll(dir + "/.~tmp.livewrit", "being written");
  const int live = open((dir + "/.~tmp.livewrit").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  const uint8_t byte = 7;
  ASSERT_EQ(device.WriteFile("9.bird", &byte, 1), aErrNone);
  EXPECT_EQ(namesIn(dir), (std::set<std::string>{".settings", ".~tmp.livewrit", "9.bird"}));
  close(live);
  ASSERT_EQ(device.WriteFile("9.bird", &byte, 1), aErrNone);
  EXPECT_EQ(namesIn(dir), (std::set<std::string>{".settings", "9.bird"}));
}

TEST(StoreBird, FailedWriteGivesTheSystemsReason) {
  UpdaterStore store(base("reason"));
  UpdaterStoreItem nowhere(store.BasePath(), "ABSENT", STORE_ITEM_DIRECTORY);
  const uint8_t byte = 0;
  int error = 0;
  EXPECT_EQ(nowhere.WriteFile("x.bird", &byte, 1, &error), aErrNotFound);
  EXPECT_EQ(error, ENOENT);
}

TEST(StoreFailure, DeviceDirectoryThatCannotBeMadeGivesPathAndReason) {
  UpdaterStore store(base("nodevice"));
  WriteAll(store.BasePath() + "/000012AB", "a file in the way");
  try {
    store.AddDevice(0x12ABu);
    ADD_FAILURE() << "no error";
  } catch (const StoreDirectoryError& error) {
    EXPECT_EQ(error.path, store.BasePath() + "/000012AB");
    EXPECT_EQ(error.error, ENOTDIR);
    EXPECT_EQ(std::string(error.what()), "UpdaterStore: " + store.BasePath() + "/000012AB exists and is a file");
  }
}

TEST(StoreFailure, UnreadableDeviceDirectoryIsNotAnEmptyOne) {
  UpdaterStore store(base("unlisted"));
  store.AddDevice(0x12ABu);
  const std::string dir = store.BasePath() + "/000012AB";
  chmod(testbird::TempDir().c_str(), 0755);
  chmod(store.BasePath().c_str(), 0755);
  chmod(dir.c_str(), 0);
  const int result = teststore::RunInChild(
      [&] {
        std::vector<UpdaterStoreItem> builds;
        StoreReadFailure failure;
        const bool listed = store.FindLocalBuilds(0x12ABu, builds, &failure);
        StoreReadFailure none;
        const bool unseen = store.FindLocalBuilds(0xCAFEu, builds, &none);
        return !listed && failure.path == dir && failure.error == EACCES && unseen && none.path.empty() ? 0 : 1;
      },
      true);
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(result, 0);
}

TEST(StoreBird, ReadBirdFileRejectsMissingAndHeaderless) {
  UpdaterStore store(base("invalid"));
  UpdaterStoreItem device = store.AddDevice(0x12ABu);
  const std::string dir = store.BasePath() + "/000012AB";
  EXPECT_EQ(errorOf([&] { device.ReadBirdFile("77.bird"); }), "Invalid bird " + dir + "/77.bird");
  WriteAll(dir + "/78.bird", "not a bird file");
  EXPECT_EQ(errorOf([&] { device.ReadBirdFile("78.bird"); }), "Invalid bird " + dir + "/78.bird");
  WriteAll(dir + "/79.bird", std::string("bird\x01\x01garbage", 13));
  EXPECT_EQ(errorOf([&] { device.ReadBirdFile("79.bird"); }), "Failed to load bird data");
}

}  // namespace
