// A logger: a thread that calls the caller's procedure over and over with an open log file.
#ifndef _aLogger_H_
#define _aLogger_H_

#include <cstdint>

#include "aError.h"
#include "unix_file.h"

// Called repeatedly while the logger runs; it must pace itself and return.
typedef void (*aLoggerProc)(aFileRef file, uint32_t parameter);

typedef struct aLogger *aLoggerRef;

// True when the handle is non-null and carries the logger validity word.
bool aVALIDLOGGER(aLoggerRef logger);

// Opens path for appending (unbuffered) and returns a stopped logger; null on failure.
aLoggerRef aLogger_Create(uint32_t parameter, aLoggerProc procedure, const char *path);
// Starts the thread; 0 if already running, aErrResource if it cannot start.
aErr aLogger_Enable(aLoggerRef logger);
// Stops and joins the thread; 0 if not running or when called from the logger thread itself.
aErr aLogger_Disable(aLoggerRef logger);
// Disables, closes the file and frees the logger (nulls *logger) when disabling succeeded.
// An invalid logger returns 0.
aErr aLogger_Destroy(aLoggerRef *logger);

#endif
