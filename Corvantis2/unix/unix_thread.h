// Threads of the device library: joinable POSIX threads.
#ifndef _unix_thread_H_
#define _unix_thread_H_

typedef void *(*aThreadProc)(void *argument);

typedef struct aThread *aThreadRef;

// Starts procedure(argument) on a new joinable thread; null if it cannot start.
aThreadRef aThread_Create(aThreadProc procedure, void *argument);
// Waits for the thread to end (tell it to stop first), frees the handle and nulls *thread.
// Returns the join's raw system error number (0 on success; EINVAL for a null handle).
int aThread_Destroy(aThreadRef *thread);
// Gives up the processor briefly (5 microseconds).
void aThread_Yield();

#endif
