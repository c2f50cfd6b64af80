// The one process-wide network interface on which czmq beacons run, with a
// lock held from set to unlock so that concurrent beacon users never see each
// other's interface. Accepted texts: a dotted IPv4 address, "" or "*".
#pragma once

// Each returns 1 on success, 0 when the text is refused (nothing locked).
int zBeaconInterface_setAndLock(const char* interface);
int zBeaconInterface_unlock(void);
int zBeaconInterface_backupSetAndLock(const char* interface);
int zBeaconInterface_restoreAndUnlock(void);
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);
