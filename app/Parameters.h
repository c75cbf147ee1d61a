// The command line of the tool: the commands asked for and the parameters they use.
#ifndef _Parameters_H_
#define _Parameters_H_

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_OPTION_Z = 0x80,
    CMD_GET_JWT = 0x100,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// Any of these bits means a command was given.
const uint32_t kCommandMask = 0x307FF;

// Transport value that asks for recovery through the boot ROM.
const int kTransportRecover = 0xFF;

class CommandsClass {
public:
    void Set(uint32_t bit) { bits |= bit; }
    bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }

private:
    uint32_t bits = 0;
};

// Filled by _get_params, which also sets the defaults.
struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    int transport = 0;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 0;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string build;
    bool echo = false;
    std::string serverUrl;
    bool optionN = false;
    std::string storageDirectory;
    std::string applicationName;
    std::string logMode;
    std::string logFileName;
    bool override = false;
    bool ueiBytes = false;
    uint32_t debugMask = 0;
    bool extendedUsage = false;
    bool helpRequested = false;
};

// The default update server: scheme "http" or "https", the configured host, path "/cgi/u".
std::string _default_server_url(bool https);

// Fills `parameters` from the command line (argv is reordered: non-option words last).
// 0 when the command line is acceptable, 1 when an option was rejected; the reasons go
// to `display` as Error lines.
int _get_params(UpdaterDisplayInterface &display, int argc, char *argv[], Parameters &parameters);
int _validate_params(Parameters &parameters);
int _release_params(Parameters &parameters);

// The value of `text` when it is all hexadecimal (or decimal) digits, else 0. `end` is
// set to the end of the text on success and left alone otherwise; with a null `end` the
// result is 0. A value that does not fit in 32 bits counts as not a number.
uint32_t _get_hex_arg(const char *text, const char **end);
uint32_t _get_int_arg(const char *text, const char **end);

#endif
