#include "unix_time.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>

uint64_t aTime_GetMSTicks() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

unsigned aTime_SleepSliced(uint32_t ms, aTimeSleepProc sleeper, void *reference) {
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    unsigned slices = 0;
    while (remaining > 0) {
        uint32_t slice =
            remaining > aTIME_MAXSLICE_US ? aTIME_MAXSLICE_US : static_cast<uint32_t>(remaining);
        if (sleeper)
            sleeper(slice, reference);
        remaining -= slice;
        ++slices;
    }
    return slices;
}

// Sleeps the whole slice; a signal does not cut it short.
static void sSleepMicroseconds(uint32_t us, void *) {
    struct timespec request;
    request.tv_sec = us / 1000000u;
    request.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
    struct timespec remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

void osMSSleep(uint32_t ms) {
    aTime_SleepSliced(ms, sSleepMicroseconds, nullptr);
}

void aTime_MSSleep(uint32_t ms) {
    osMSSleep(ms);
}
