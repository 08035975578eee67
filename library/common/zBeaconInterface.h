// Guards CZMQ's process-wide interface setting, which a beacon reads when it is set up.
// Module discovery and the sharing server both point it at the interface they want and
// create their beacon while holding this lock, so neither sees the other's choice.
//
// The lock is not recursive: every call that takes it is paired with exactly one release
// by the same thread. Taking it again on the thread that holds it is refused.
#ifndef KESTRIX_ZBEACONINTERFACE_H
#define KESTRIX_ZBEACONINTERFACE_H

#include "aDefs.h"

KX_EXTERN_C_BEGIN

// Longest interface setting kept as the backup.
#define zBEACONINTERFACE_BACKUP_SIZE 100

// For a dotted IPv4 address, "" (CZMQ's default) or "*" (every interface): takes the lock
// and sets CZMQ's interface to it, returning true. False, without the lock, for any other
// text (such as an interface name) or when this thread holds the lock already.
bool zBeaconInterface_setAndLock(const char* networkInterface);
// Releases the lock.
void zBeaconInterface_unlock(void);
// As zBeaconInterface_setAndLock, after keeping the current setting as the backup.
bool zBeaconInterface_backupSetAndLock(const char* networkInterface);
// Sets CZMQ's interface back to the backup and releases the lock.
void zBeaconInterface_restoreAndUnlock(void);

// CZMQ's current interface setting / the backup. The AndLock forms take the lock first and
// return null, without it, when this thread holds it already.
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

KX_EXTERN_C_END

#endif
