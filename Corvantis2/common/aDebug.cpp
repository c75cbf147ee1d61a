#include "aDebug.h"

#include <cstdarg>
#include <cstdio>

std::atomic<uint8_t> aCorvantisDebuggingEnable{0};
std::atomic<uint32_t> aCorvantisDebuggingLevel{0};

bool aDebug_Enabled(uint32_t area) {
    return aCorvantisDebuggingEnable.load(std::memory_order_relaxed) != 0 &&
           (aCorvantisDebuggingLevel.load(std::memory_order_relaxed) & area) != 0;
}

void aDebug_Print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
