#include "Log.h"

#include <cstdarg>
#include <cstring>

FILE* Log::fh = nullptr;
unsigned Log::package_bitmask = 0;

void Log::log(unsigned package, const char* format, ...) {
    if (package != 0 && (package_bitmask & package) == 0)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    // One write call per line: the stream is unbuffered and shared with the download thread.
    if (fh)
        fwrite(text, 1, strlen(text), fh);
}

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(unsigned bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(unsigned bits) { package_bitmask &= ~bits; }

unsigned Log::ActivePackages() { return package_bitmask; }
