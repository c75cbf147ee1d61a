#include "unix_mutex.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#define aMUTEX_CHECK 0xFADEu

struct aMutex {
    uint32_t check;
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAME + 1];
};

static bool sValid(aMutexRef m) {
    return m && m->check == aMUTEX_CHECK;
}

aMutexRef aMutex_Create(const char *name) {
    if (!name)
        name = "";
    size_t length = strnlen(name, aMUTEX_MAXNAME + 1);
    if (length > aMUTEX_MAXNAME)
        return nullptr;
    aMutexRef m = static_cast<aMutexRef>(calloc(1, sizeof(aMutex)));
    if (!m)
        return nullptr;
    // Error checking: a relock by the holder reports EDEADLK instead of hanging, and an unlock
    // by another thread reports EPERM instead of corrupting the mutex.
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
             pthread_mutex_init(&m->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        free(m);
        return nullptr;
    }
    memcpy(m->name, name, length);
    m->name[length] = '\0';
    m->check = aMUTEX_CHECK;
    return m;
}

const char *aMutex_Identifier(aMutexRef mutex) {
    return sValid(mutex) ? mutex->name : "";
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EBUSY:
        return aErrBusy;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EPERM:
        return aErrPermission;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef *mutex) {
    if (!mutex || !*mutex)
        return aErrParam;
    aMutexRef m = *mutex;
    if (!sValid(m))
        return aErrParam;
    // Taking the mutex first tells a held mutex apart for certain; destroying a locked
    // mutex is undefined.
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == EBUSY)
        return aErrBusy;
    if (rc == 0)
        pthread_mutex_unlock(&m->mutex);
    switch (pthread_mutex_destroy(&m->mutex)) {
    case 0:
        break;
    case EBUSY:
        return aErrBusy;
    case EAGAIN:
    case ENOMEM:
        return aErrResource;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
    m->check = 0;
    free(m);
    *mutex = nullptr;
    return aErrNone;
}
