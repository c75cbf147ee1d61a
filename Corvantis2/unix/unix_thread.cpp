#include "unix_thread.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

struct aThread {
    pthread_t id;
};

aThreadRef aThread_Create(aThreadProc procedure, void *argument) {
    if (!procedure)
        return nullptr;
    aThreadRef thread = static_cast<aThreadRef>(calloc(1, sizeof(aThread)));
    if (!thread)
        return nullptr;
    if (pthread_create(&thread->id, nullptr, procedure, argument) != 0) {
        free(thread);
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThreadRef *thread) {
    if (!thread || !*thread)
        return EINVAL;
    aThreadRef t = *thread;
    int rc = pthread_join(t->id, nullptr);
    // A thread cannot join itself; let it release its resources when it ends.
    if (rc == EDEADLK)
        pthread_detach(t->id);
    free(t);
    *thread = nullptr;
    return rc;
}

void aThread_Yield() {
    usleep(5);
}
