// The one process-wide network interface of czmq beacons, and the lock held
// from set to unlock. The lock is a flag under a mutex rather than a bare
// mutex, so that an unlock without a lock is refused instead of undefined.
#include "link/api/aBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "link/core/aDebug.h"

namespace {

std::mutex gGuard;
std::condition_variable gReleased;
bool gLocked = false;
std::once_flag gBackupOnce;
std::string* gBackupInterface = nullptr;  // reserved on first use, never freed

bool sAccepted(const char* interface) {
  if (interface == nullptr) return false;
  if (interface[0] == '\0' || strcmp(interface, "*") == 0) return true;
  in_addr address{};
  return inet_pton(AF_INET, interface, &address) == 1;
}

void sLock(const char* caller) {
  aTRACE(aTRACE_BEACON, "%s PRE-LOCK\n", caller);
  std::unique_lock<std::mutex> guard(gGuard);
  gReleased.wait(guard, [] { return !gLocked; });
  gLocked = true;
  aTRACE(aTRACE_BEACON, "%s LOCKED\n", caller);
}

bool sUnlock(void) {
  {
    std::lock_guard<std::mutex> guard(gGuard);
    if (!gLocked) return false;
    gLocked = false;
  }
  gReleased.notify_one();
  return true;
}

// Created once; only the holder of the lock changes the text.
std::string& sBackup(const char* caller) {
  std::call_once(gBackupOnce, [caller] {
    aTRACE(aTRACE_BEACON, "%s Reserving memory for _backupInterface\n", caller);
    gBackupInterface = new std::string();
    gBackupInterface->reserve(100);
  });
  return *gBackupInterface;
}

}  // namespace

int zBeaconInterface_setAndLock(const char* interface) {
  if (!sAccepted(interface)) return 0;
  sLock(__func__);
  zsys_set_interface(interface);
  return 1;
}

int zBeaconInterface_unlock(void) {
  aTRACE(aTRACE_BEACON, "%s: UNLOCKING\n", __func__);
  return sUnlock() ? 1 : 0;
}

int zBeaconInterface_backupSetAndLock(const char* interface) {
  if (!sAccepted(interface)) return 0;
  sLock(__func__);
  sBackup(__func__).assign(zsys_interface());
  zsys_set_interface(interface);
  return 1;
}

int zBeaconInterface_restoreAndUnlock(void) {
  {
    std::lock_guard<std::mutex> guard(gGuard);
    if (!gLocked) return 0;
  }
  zsys_set_interface(sBackup(__func__).c_str());
  aTRACE(aTRACE_BEACON, "%s UNLOCKING\n", __func__);
  return sUnlock() ? 1 : 0;
}

const char* zBeaconInterface_get(void) { return zsys_interface(); }

const char* zBeaconInterface_getAndLock(void) {
  sLock(__func__);
  return zsys_interface();
}

const char* zBeaconInterface_getBackup(void) { return sBackup(__func__).c_str(); }

const char* zBeaconInterface_getBackupAndLock(void) {
  sLock(__func__);
  return sBackup(__func__).c_str();
}
