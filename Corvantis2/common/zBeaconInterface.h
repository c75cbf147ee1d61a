// The network interface of the process-wide UDP beacon facility, guarded by one lock. Whoever
// changes the interface for a while holds the lock; a backup lets a discovery run put the
// previous choice back. The lock is not recursive: a holder must not call another locking
// operation.
#ifndef _zBeaconInterface_H_
#define _zBeaconInterface_H_

// Accepts a dotted IPv4 address, "" (default) or "*" (all interfaces): takes the lock, sets
// the beacon interface and returns true. Anything else returns false without locking.
bool zBeaconInterface_setAndLock(const char *interfaceText);
// Releases the lock.
void zBeaconInterface_unlock();
// As setAndLock, but first saves the current beacon interface as the backup.
bool zBeaconInterface_backupSetAndLock(const char *interfaceText);
// Sets the beacon interface back to the backup and releases the lock.
void zBeaconInterface_restoreAndUnlock();
// The current beacon interface, without locking.
const char *zBeaconInterface_get();
// Takes the lock, then returns the current beacon interface.
const char *zBeaconInterface_getAndLock();
// The backup text, without locking ("" before the first backup).
const char *zBeaconInterface_getBackup();
// Takes the lock, then returns the backup text.
const char *zBeaconInterface_getBackupAndLock();

#endif
