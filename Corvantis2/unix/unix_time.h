// Millisecond wall clock and sleeping of the device library.
#ifndef _unix_time_H_
#define _unix_time_H_

#include <cstdint>

// Longest single sleep slice in microseconds.
#define aTIME_MAXSLICE_US 999999u

// Milliseconds of the wall clock since the Unix epoch; 0 if the clock cannot be read.
// The wall clock moves when the system time is changed.
uint64_t aTime_GetMSTicks();
// Sleeps at least ms milliseconds; 0 returns at once.
void aTime_MSSleep(uint32_t ms);
void osMSSleep(uint32_t ms);

// The slicing behind osMSSleep: calls sleeper(slice, reference) with slices of at most
// aTIME_MAXSLICE_US microseconds until ms milliseconds are covered. Returns the slice count.
typedef void (*aTimeSleepProc)(uint32_t microseconds, void *reference);
unsigned aTime_SleepSliced(uint32_t ms, aTimeSleepProc sleeper, void *reference);

#endif
