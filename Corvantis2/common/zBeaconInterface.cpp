#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <czmq.h>

#include "aDebug.h"
#include "unix_mutex.h"

#define BACKUP_SIZE 100

static aMutexRef sLock() {
    static aMutexRef lock = aMutex_Create("zBeaconInterface");
    return lock;
}

// Reserved and written only under the lock; the reads without locking see either no buffer
// or the one buffer, which is never freed.
static std::atomic<char *> sBackup{nullptr};

static bool sAcceptable(const char *text) {
    if (!text)
        return false;
    if (text[0] == '\0' || strcmp(text, "*") == 0)
        return true;
    struct in_addr address;
    return inet_pton(AF_INET, text, &address) == 1;
}

static void sLockNamed(const char *name) {
    aDEBUG_TRACE(aDEBUG_BEACON, "%s PRE-LOCK\n", name);
    aMutex_Lock(sLock());
    aDEBUG_TRACE(aDEBUG_BEACON, "%s LOCKED\n", name);
}

static void sReserveBackup(const char *name) {
    if (sBackup.load())
        return;
    aDEBUG_TRACE(aDEBUG_BEACON, "%s Reserving memory for _backupInterface\n", name);
    sBackup.store((char *)calloc(1, BACKUP_SIZE + 1));
}

bool zBeaconInterface_setAndLock(const char *interfaceText) {
    if (!sAcceptable(interfaceText))
        return false;
    sLockNamed(__func__);
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_unlock() {
    aDEBUG_TRACE(aDEBUG_BEACON, "%s: UNLOCKING\n", __func__);
    aMutex_Unlock(sLock());
}

bool zBeaconInterface_backupSetAndLock(const char *interfaceText) {
    if (!sAcceptable(interfaceText))
        return false;
    sLockNamed(__func__);
    sReserveBackup(__func__);
    if (char *backup = sBackup.load())
        snprintf(backup, BACKUP_SIZE + 1, "%s", zsys_interface());
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock() {
    char *backup = sBackup.load();
    zsys_set_interface(backup ? backup : "");
    aDEBUG_TRACE(aDEBUG_BEACON, "%s UNLOCKING\n", __func__);
    aMutex_Unlock(sLock());
}

const char *zBeaconInterface_get() {
    return zsys_interface();
}

const char *zBeaconInterface_getAndLock() {
    sLockNamed(__func__);
    return zsys_interface();
}

const char *zBeaconInterface_getBackup() {
    char *backup = sBackup.load();
    return backup ? backup : "";
}

const char *zBeaconInterface_getBackupAndLock() {
    sLockNamed(__func__);
    return zBeaconInterface_getBackup();
}
