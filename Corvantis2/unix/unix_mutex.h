// Named mutexes of the device library (plain, not recursive).
#ifndef _unix_mutex_H_
#define _unix_mutex_H_

#include "aError.h"

// Longest mutex name in characters, without the terminator.
#define aMUTEX_MAXNAME 255

typedef struct aMutex *aMutexRef;

// A new unlocked mutex carrying a copy of the name (null gives ""); null when the name has
// 256 or more characters or the mutex cannot be made.
aMutexRef aMutex_Create(const char *name);
// The stored name ("" for a null mutex).
const char *aMutex_Identifier(aMutexRef mutex);
// aErrParam invalid, aErrDuplicate relock reported as deadlock, aErrUnknown other failure.
aErr aMutex_Lock(aMutexRef mutex);
// aErrBusy when already locked.
aErr aMutex_TryLock(aMutexRef mutex);
// aErrPermission when the caller does not own it.
aErr aMutex_Unlock(aMutexRef mutex);
// Destroys, frees and nulls *mutex; aErrBusy (nothing freed) while locked.
aErr aMutex_Destroy(aMutexRef *mutex);

#endif
