// The beacon interface lock: which interface texts it accepts, what it saves
// and restores, and that it holds other users off from set to unlock.
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "link/api/aBeaconInterface.h"

namespace {

using namespace std::chrono_literals;

// True when the lock can be taken (and is released again) within the wait.
bool LockIsFree(std::chrono::milliseconds wait = 500ms) {
  auto attempt = std::async(std::launch::async, [] {
    if (zBeaconInterface_setAndLock("") != 1) return false;
    return zBeaconInterface_unlock() == 1;
  });
  if (attempt.wait_for(wait) != std::future_status::ready) {
    // Let the attempt finish once the test unlocks, so no thread outlives it.
    zBeaconInterface_unlock();
    attempt.wait();
    return false;
  }
  return attempt.get();
}

TEST(BeaconInterfaceLock, RefusedTextsLockNothing) {
  for (const char* text : {"tv0", "1.2.3", "198.18.0.256", "* ", " 10.0.0.1", "localhost", "::1"}) {
    EXPECT_EQ(zBeaconInterface_setAndLock(text), 0) << text;
    EXPECT_EQ(zBeaconInterface_backupSetAndLock(text), 0) << text;
    EXPECT_TRUE(LockIsFree()) << text;
  }
  EXPECT_EQ(zBeaconInterface_setAndLock(nullptr), 0);
  EXPECT_EQ(zBeaconInterface_backupSetAndLock(nullptr), 0);
  EXPECT_TRUE(LockIsFree());
}

TEST(BeaconInterfaceLock, DottedEmptyAndStarAreAccepted) {
  for (const char* text : {"198.18.0.1", "127.0.0.1", "255.255.255.255", "", "*"}) {
    ASSERT_EQ(zBeaconInterface_setAndLock(text), 1) << text;
    EXPECT_STREQ(zBeaconInterface_get(), text);
    EXPECT_EQ(zBeaconInterface_unlock(), 1);
  }
  zBeaconInterface_setAndLock("");
  zBeaconInterface_unlock();
}

TEST(BeaconInterfaceLock, UnlockWithoutLockIsRefused) {
  EXPECT_EQ(zBeaconInterface_unlock(), 0);
  EXPECT_EQ(zBeaconInterface_restoreAndUnlock(), 0);
  EXPECT_TRUE(LockIsFree());
}

TEST(BeaconInterfaceLock, BackupIsRestoredOnUnlock) {
  ASSERT_EQ(zBeaconInterface_setAndLock("*"), 1);
  ASSERT_EQ(zBeaconInterface_unlock(), 1);
  ASSERT_EQ(zBeaconInterface_backupSetAndLock("198.18.0.1"), 1);
  EXPECT_STREQ(zBeaconInterface_get(), "198.18.0.1");
  EXPECT_STREQ(zBeaconInterface_getBackup(), "*");
  EXPECT_EQ(zBeaconInterface_restoreAndUnlock(), 1);
  EXPECT_STREQ(zBeaconInterface_get(), "*");
  EXPECT_TRUE(LockIsFree());
  // getAndLock and getBackupAndLock hold the lock like a set.
  EXPECT_STREQ(zBeaconInterface_getAndLock(), "");  // LockIsFree set ""
  EXPECT_FALSE(LockIsFree(100ms));
  EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "*");
  EXPECT_EQ(zBeaconInterface_unlock(), 1);
}

TEST(BeaconInterfaceLock, HeldFromSetToUnlock) {
  ASSERT_EQ(zBeaconInterface_setAndLock("198.18.0.1"), 1);
  std::atomic<bool> entered{false};
  std::string seen;
  std::thread other([&] {
    zBeaconInterface_backupSetAndLock("127.0.0.1");
    entered = true;
    seen = zBeaconInterface_getBackup();
    zBeaconInterface_restoreAndUnlock();
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(entered.load());
  EXPECT_STREQ(zBeaconInterface_get(), "198.18.0.1");  // untouched while held
  ASSERT_EQ(zBeaconInterface_unlock(), 1);
  other.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(seen, "198.18.0.1");
  EXPECT_STREQ(zBeaconInterface_get(), "198.18.0.1");
  EXPECT_TRUE(LockIsFree());
}

TEST(BeaconInterfaceLock, ManyThreadsTakeTurns) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 4; ++t) {
    users.emplace_back([&, t] {
      const char* mine = t % 2 ? "198.18.0.1" : "127.0.0.1";
      for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(zBeaconInterface_backupSetAndLock(mine), 1);
        if (++inside != 1) ++overlaps;
        if (std::string(zBeaconInterface_get()) != mine) ++overlaps;
        --inside;
        zBeaconInterface_restoreAndUnlock();
      }
    });
  }
  for (std::thread& user : users) user.join();
  EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
