// The library's two debug switches and its trace output. A host that embeds the library may
// set the switches; the library itself only reads them. Trace lines go to standard output.
#ifndef _aDebug_H_
#define _aDebug_H_

#include <atomic>
#include <cstdint>

// Nonzero enables trace output.
extern std::atomic<uint8_t> aCorvantisDebuggingEnable;
// Mask of the areas whose trace lines are printed.
extern std::atomic<uint32_t> aCorvantisDebuggingLevel;

enum : uint32_t {
    aDEBUG_LINK = 0x1,       // link table, link lifecycle, sync procedure
    aDEBUG_PACKETS = 0x2,    // packets through the link threads, heartbeat
    aDEBUG_SERVER = 0x4,     // sharing server
    aDEBUG_MULTICAST = 0x8,  // multicast sockets
    aDEBUG_DISCOVERY = 0x10, // network discovery
    aDEBUG_CLIENT = 0x20,    // client stream
    aDEBUG_MODULE = 0x40,    // module connection
    aDEBUG_BEACON = 0x200,   // beacon settings
    aDEBUG_USB = 0x400,      // USB transfers
};

// True when tracing is on and the level has any bit of area.
bool aDebug_Enabled(uint32_t area);
// Prints the formatted text on standard output and flushes it (no check of the switches).
void aDebug_Print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints a trace line when the area is enabled; the caller supplies the line end.
#define aDEBUG_TRACE(area, ...)                                                                    \
    do {                                                                                           \
        if (aDebug_Enabled(area))                                                                  \
            aDebug_Print(__VA_ARGS__);                                                             \
    } while (0)

#endif
