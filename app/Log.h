// The diagnostic log: one process-wide sink for the application layer's trace lines.
// A line belongs to a package bit and is written only while that package is active;
// package 0 is always written.
#ifndef _Log_H_
#define _Log_H_

#include <cstdio>

enum {
    DEBUG_Updater = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_ServerComm = 0x20,
    DEBUG_Network = 0x100,
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    // Writes the formatted text (cut to 2047 characters) when the package is active.
    // Callers supply their own line ends.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);
    static unsigned ActivePackages();

private:
    static FILE* fh;
    static unsigned package_bitmask;
};

#endif
