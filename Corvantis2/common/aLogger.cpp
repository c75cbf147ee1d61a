#include "aLogger.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <pthread.h>

#define aLOGGER_CHECK 0xDEEDu

struct aLogger {
    uint16_t check;
    uint32_t parameter;
    aLoggerProc procedure;
    aFileRef file;
    pthread_t thread;
    bool hasThread; // touched by the controlling thread only
    std::atomic<bool> running;
};

bool aVALIDLOGGER(aLoggerRef logger) {
    return logger && logger->check == aLOGGER_CHECK;
}

// The logger whose thread this is; lets a procedure's own calls be recognised without
// reading fields that the controlling thread writes.
static thread_local aLoggerRef sCurrentLogger = nullptr;

static void *sLoggerThread(void *argument) {
    aLoggerRef logger = static_cast<aLoggerRef>(argument);
    sCurrentLogger = logger;
    while (logger->running.load())
        logger->procedure(logger->file, logger->parameter);
    return nullptr;
}

aLoggerRef aLogger_Create(uint32_t parameter, aLoggerProc procedure, const char *path) {
    if (!procedure)
        return nullptr;
    aLoggerRef logger = new (std::nothrow) aLogger();
    if (!logger)
        return nullptr;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file) {
        delete logger;
        return nullptr;
    }
    aFile_SetUnbuffered(logger->file);
    logger->parameter = parameter;
    logger->procedure = procedure;
    logger->hasThread = false;
    logger->running = false;
    logger->check = aLOGGER_CHECK;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (logger->hasThread)
        return aErrNone;
    logger->running = true;
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0) {
        logger->running = false;
        return aErrResource;
    }
    logger->hasThread = true;
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    // The logger thread cannot join itself.
    if (sCurrentLogger == logger)
        return aErrNone;
    if (!logger->hasThread)
        return aErrNone;
    logger->running = false;
    if (pthread_join(logger->thread, nullptr) != 0)
        return aErrUnknown;
    logger->hasThread = false;
    return aErrNone;
}

aErr aLogger_Destroy(aLoggerRef *logger) {
    if (!logger || !aVALIDLOGGER(*logger))
        return aErrNone;
    aLoggerRef l = *logger;
    // Freeing the record under the running logger thread would pull it from under its feet.
    if (sCurrentLogger == l)
        return aErrBusy;
    aErr err = aLogger_Disable(l);
    if (err != aErrNone)
        return err;
    aFile_Close(&l->file);
    l->check = 0;
    delete l;
    *logger = nullptr;
    return aErrNone;
}
