#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "link/core/aFile.h"
#include "link/core/aHostLock.h"
#include "link/core/aLogger.h"
#include "link/core/aMutex.h"
#include "link/core/aThread.h"
#include "link/core/aTime.h"

namespace {

std::string tempPath(const char* name) {
  return std::string(::testing::TempDir()) + "/" + name + std::to_string(getpid());
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(Mutex, NameLimit) {
  std::string name(255, 'm');
  aMutex* ok = aMutex_Create(name.c_str());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(name, aMutex_Identifier(ok));
  EXPECT_EQ(aMutex_Destroy(&ok), aErrNone);
  EXPECT_EQ(ok, nullptr);
  name += 'm';
  EXPECT_EQ(aMutex_Create(name.c_str()), nullptr);
  EXPECT_EQ(aMutex_Destroy(&ok), aErrParam);
}

struct TryLockProbe {
  aMutex* mutex;
  aErr result;
};

TEST(Mutex, TryLockFromAnotherThreadIsBusy) {
  aMutex* mutex = aMutex_Create("held");
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  TryLockProbe probe{mutex, aErrNone};
  aThread* thread = aThread_Create([](void* arg) {
    auto* p = static_cast<TryLockProbe*>(arg);
    p->result = aMutex_TryLock(p->mutex);
  }, &probe);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(probe.result, aErrBusy);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  aMutex_Destroy(&mutex);
}

TEST(HostLock, OneHolderAtATimeAndAWaitEndsWhenTheHolderLetsGo) {
  const std::string name = "tv-unit-host-lock-" + std::to_string(getpid()) + ".lock";
  int holder = aHostLock_Open(name.c_str());
  ASSERT_GE(holder, 0);
  ASSERT_TRUE(aHostLock_Try(holder));
  // Another open of the same file, in this process or another, is refused.
  int other = aHostLock_Open(name.c_str());
  ASSERT_GE(other, 0);
  EXPECT_FALSE(aHostLock_Try(other));
  aHostLock_Release(other);
  // A wait that runs out takes nothing, and its helper lets go once it
  // gets the lock; a wait in progress gets the lock when the holder lets go.
  EXPECT_EQ(aHostLock_Acquire(name.c_str(), 0), -1);
  std::atomic<int> waited{-2};
  std::thread waiter([&] { waited = aHostLock_Acquire(name.c_str(), 600000); });
  aHostLock_Release(holder);
  waiter.join();
  EXPECT_GE(waited.load(), 0);
  other = aHostLock_Open(name.c_str());
  EXPECT_FALSE(aHostLock_Try(other));
  aHostLock_Release(waited.load());
  EXPECT_TRUE(aHostLock_Try(other));
  aHostLock_Release(other);
  EXPECT_EQ(aHostLock_Open(""), -1);
  char part[8];
  aHostLock_NamePart("/dev/tty S0", part, sizeof part);
  EXPECT_STREQ(part, "_dev_tt");
  for (const char* folder : {"/run/lock", "/tmp"}) unlink((std::string(folder) + "/" + name).c_str());
}

TEST(Sleep, StepsOfAtMostOneSecond) {
  EXPECT_EQ(aTime_SleepStepMicroseconds(0, 0), 0u);
  EXPECT_EQ(aTime_SleepStepMicroseconds(2500, 0), 999999u);
  EXPECT_EQ(aTime_SleepStepMicroseconds(2500, 1), 999999u);
  EXPECT_EQ(aTime_SleepStepMicroseconds(2500, 2), 500002u);
  EXPECT_EQ(aTime_SleepStepMicroseconds(2500, 3), 0u);
  uint32_t before = aTime_GetMSTicks();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_EQ(aTime_MSSleep(20), aErrNone);
  EXPECT_GE(aTime_GetMSTicks() - before, 20u);
}

TEST(Files, ModesAndBadArguments) {
  const std::string path = tempPath("modes");
  EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open(std::string(4097, 'x').c_str(), aFileModeRead), nullptr);
  aFile* out = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(out, nullptr);
  char byte;
  EXPECT_EQ(aFile_Read(out, &byte, 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Write(out, "abc", 3, nullptr), aErrNone);
  EXPECT_EQ(aFile_Close(&out), aErrNone);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(aFile_Close(&out), aErrParam);

  aFile* in = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(aFile_Write(in, "x", 1, nullptr), aErrMode);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(in, &size), aErrNone);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(aFile_Seek(in, 1, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(in, -1, 0), aErrRange);
  EXPECT_EQ(aFile_Seek(in, -1, 2), aErrNone);
  size_t count = 0;
  EXPECT_EQ(aFile_Read(in, &byte, 1, &count), aErrNone);
  EXPECT_EQ(byte, 'c');
  EXPECT_EQ(aFile_Read(in, &byte, 1, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  aFile_Close(&in);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_FALSE(aFile_Exists(::testing::TempDir().c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
}

TEST(Files, ReadLineSplitsLongLines) {
  const std::string path = tempPath("lines");
  writeText(path, "abcd\nxyz");
  char buffer[8];
  size_t length = 0;
  aFile* in = aFile_Open(path.c_str(), aFileModeRead);
  EXPECT_EQ(aFile_ReadLine(in, buffer, 6, &length), aErrNone);
  EXPECT_STREQ(buffer, "abcd\n");
  EXPECT_EQ(length, 5u);
  aFile_Close(&in);

  in = aFile_Open(path.c_str(), aFileModeRead);
  EXPECT_EQ(aFile_ReadLine(in, buffer, 4, &length), aErrOverrun);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(aFile_ReadLine(in, buffer, 4, &length), aErrNone);
  EXPECT_STREQ(buffer, "d\n");
  EXPECT_EQ(aFile_ReadLine(in, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "xyz");
  EXPECT_EQ(aFile_ReadLine(in, buffer, sizeof buffer, &length), aErrEOF);
  aFile_Close(&in);
  aFile_Delete(path.c_str());
}

std::atomic<int> gLoggerCalls{0};

TEST(Logger, RunsProcedureUntilDisabled) {
  const std::string path = tempPath("logger");
  aLogger* logger = aLogger_Create(7, [](aFile* file, int32_t reference) {
    if (gLoggerCalls.fetch_add(1) == 0) aFile_Printf(file, "ref %d\n", reference);
    aTime_MSSleep(1);
  }, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // never enabled
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  while (gLoggerCalls.load() < 3) aTime_MSSleep(1);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "ref 7");
  aFile_Delete(path.c_str());
}

}  // namespace
