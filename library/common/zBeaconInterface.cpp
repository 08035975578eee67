#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstdio>
#include <cstring>

#include "unix_mutex.h"

namespace {

// Lives for the whole process: a beacon may be set up from any thread at any time.
aMutex* sLock() {
    static aMutex* const lock = aMutex_Create("zBeaconInterface");
    return lock;
}

char sBackup[zBEACONINTERFACE_BACKUP_SIZE + 1] = "";  // guarded by sLock()

bool sAcceptable(const char* text) {
    in_addr ignored;
    return text != nullptr && (text[0] == '\0' || std::strcmp(text, "*") == 0 ||
                               inet_pton(AF_INET, text, &ignored) == 1);
}

bool sLockAndSet(const char* networkInterface, bool keepBackup) {
    if (!sAcceptable(networkInterface) || aMutex_Lock(sLock()) != aErrNone) {
        return false;
    }
    if (keepBackup) {
        std::snprintf(sBackup, sizeof sBackup, "%s", zsys_interface());
    }
    zsys_set_interface(networkInterface);
    return true;
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* networkInterface) {
    return sLockAndSet(networkInterface, false);
}

bool zBeaconInterface_backupSetAndLock(const char* networkInterface) {
    return sLockAndSet(networkInterface, true);
}

void zBeaconInterface_unlock(void) {
    aMutex_Unlock(sLock());
}

void zBeaconInterface_restoreAndUnlock(void) {
    zsys_set_interface(sBackup);
    aMutex_Unlock(sLock());
}

const char* zBeaconInterface_get(void) {
    return zsys_interface();
}

const char* zBeaconInterface_getAndLock(void) {
    return aMutex_Lock(sLock()) == aErrNone ? zsys_interface() : nullptr;
}

const char* zBeaconInterface_getBackup(void) {
    return sBackup;
}

const char* zBeaconInterface_getBackupAndLock(void) {
    return aMutex_Lock(sLock()) == aErrNone ? sBackup : nullptr;
}
