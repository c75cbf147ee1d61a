#include "Parameters.h"

#include <cctype>
#include <cstring>

#include "CSimpleOpt.h"
#include "Log.h"

namespace {

enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_HTTPS = 3, OPT_HTTP = 4 };

const CSimpleOpt::SOption kOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},
    {OPT_COMMAND, "-L", SO_NONE},
    {OPT_COMMAND, "-D", SO_NONE},
    {OPT_COMMAND, "-G", SO_NONE},
    {OPT_COMMAND, "-I", SO_NONE},
    {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE},
    {OPT_COMMAND, "-N", SO_NONE},
    {OPT_COMMAND, "-Y", SO_NONE},
    {OPT_COMMAND, "-C", SO_NONE},
    {OPT_COMMAND, "-J", SO_NONE},
    {OPT_HELP, "-h", SO_NONE},
    {OPT_HELP, "-H", SO_NONE},
    {OPT_PARAMETER, "-n", SO_NONE},
    {OPT_PARAMETER, "-X", SO_REQ},
    {OPT_PARAMETER, "-Z", SO_REQ},
    {OPT_PARAMETER, "-m", SO_REQ},
    {OPT_PARAMETER, "-i", SO_REQ},
    {OPT_PARAMETER, "-b", SO_REQ},
    {OPT_PARAMETER, "-d", SO_REQ},
    {OPT_PARAMETER, "-t", SO_REQ},
    {OPT_PARAMETER, "-f", SO_REQ},
    {OPT_PARAMETER, "-r", SO_REQ},
    {OPT_PARAMETER, "-s", SO_REQ},
    {OPT_PARAMETER, "-o", SO_REQ},
    {OPT_PARAMETER, "-e", SO_NONE},
    {OPT_PARAMETER, "-l", SO_REQ},
    {OPT_PARAMETER, "-k", SO_REQ},
    {OPT_PARAMETER, "-u", SO_REQ},
    {OPT_HELP, "--help", SO_NONE},
    {OPT_HTTP, "--http", SO_NONE},
    {OPT_HTTPS, "--https", SO_NONE},
    {-1, nullptr, SO_NONE},
};

// Reads `text` in `base` when every character is a digit of that base and the value fits
// in 32 bits; a longer number would otherwise name a different device or build silently.
uint32_t sGetArg(const char *text, const char **end, unsigned base) {
    if (!end || !text)
        return 0;
    uint64_t value = 0;
    const char *p = text;
    for (; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = (unsigned)(*p - '0');
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = (unsigned)(*p - 'A' + 10);
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = (unsigned)(*p - 'a' + 10);
        else
            return 0;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    *end = p;
    return (uint32_t)value;
}

bool sHasHexPrefix(const char *text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// -X: "0x..." in base 16, else base 10. Returns the unread rest (empty when all was read).
const char *sParseMask(const char *text, uint32_t &value) {
    unsigned base = 10;
    const char *p = text;
    if (sHasHexPrefix(p) && isxdigit((unsigned char)p[2])) {
        base = 16;
        p += 2;
    }
    uint32_t v = 0;
    for (; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = (unsigned)(*p - '0');
        else if (base == 16 && isxdigit((unsigned char)*p))
            digit = (unsigned)(tolower((unsigned char)*p) - 'a' + 10);
        else
            break;
        v = v * base + digit;
    }
    value = v;
    return p;
}

// -d and -r: an optional "0x" prefix, then hexadecimal digits; 0 is no serial number.
bool sParseSerial(UpdaterDisplayInterface &display, const char *value, uint32_t &serial,
                  const char *prefixLog, const char *invalidMessage) {
    if (sHasHexPrefix(value)) {
        Log::log(DEBUG_Updater, "%s", prefixLog);
        value += 2;
    }
    const char *end = nullptr;
    serial = _get_hex_arg(value, &end);
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::Error, invalidMessage, value);
        return false;
    }
    return true;
}

} // namespace

std::string _default_server_url(bool https) {
    return std::string(https ? "https://" : "http://") + UPDATER_SERVER_HOST + "/cgi/u";
}

uint32_t _get_hex_arg(const char *text, const char **end) {
    return sGetArg(text, end, 16);
}

uint32_t _get_int_arg(const char *text, const char **end) {
    return sGetArg(text, end, 10);
}

int _validate_params(Parameters &) {
    return 0;
}

int _release_params(Parameters &) {
    return 0;
}

int _get_params(UpdaterDisplayInterface &display, int argc, char *argv[], Parameters &p) {
    p.commands = CommandsClass();
    p.serialNumber = 0;
    p.routerSerialNumber = 0;
    p.transport = 1;
    p.transportGiven = false;
    p.serialPort.clear();
    p.baudRate = 115200;
    p.moduleAddress = 0;
    p.birdFile.clear();
    p.historyMessage.clear();
    p.build.clear();
    p.echo = false;
    p.serverUrl = _default_server_url(false);
    p.optionN = false;
    p.storageDirectory.clear();
    p.applicationName.clear();
    if (argc > 0 && argv[0]) {
        const char *name = argv[0];
        for (const char *c = argv[0]; *c; ++c)
            if (*c == '/' || *c == '\\')
                name = c + 1;
        p.applicationName = name;
    }
    p.logMode = "a+";
    p.logFileName = "Updater.log";
    p.override = false;
    p.ueiBytes = true;
    p.debugMask = 0;
    p.extendedUsage = false;
    p.helpRequested = false;

    bool failed = false;
    int serverChoices = 0;
    CSimpleOpt scanner(argc, argv, kOptions);
    while (scanner.Next()) {
        // Options the scanner rejects are dropped without a word.
        if (scanner.LastError() != SO_SUCCESS)
            continue;
        const char *text = scanner.OptionText();
        const char *arg = scanner.OptionArg();
        switch (scanner.OptionId()) {
        case OPT_HELP:
            p.commands.Set(CMD_HELP);
            p.helpRequested = true;
            return 0;
        case OPT_HTTPS:
            p.serverUrl = _default_server_url(true);
            ++serverChoices;
            break;
        case OPT_HTTP:
            p.serverUrl = _default_server_url(false);
            ++serverChoices;
            break;
        case OPT_COMMAND:
            switch (text[1]) {
            case 'B':
                p.commands.Set(CMD_LIST_BUILDS);
                break;
            case 'L':
                p.commands.Set(CMD_LIST_LOCAL_BUILDS);
                break;
            case 'D':
                p.commands.Set(CMD_DISCOVER);
                break;
            case 'G':
                p.commands.Set(CMD_GET_BUILD);
                break;
            case 'I':
                p.commands.Set(CMD_INFO);
                break;
            case 'U':
                p.commands.Set(CMD_UPDATE);
                break;
            case 'N':
                p.commands.Set(CMD_FINGERPRINT);
                break;
            case 'C':
                p.commands.Set(CMD_CHECK_BIRD);
                break;
            case 'J':
                p.commands.Set(CMD_GET_JWT);
                break;
            case 'O':
                p.override = true;
                break;
            default:
                display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", text);
                failed = true;
                break;
            }
            break;
        case OPT_PARAMETER:
            switch (text[1]) {
            case 'X': {
                p.extendedUsage = true;
                const char *rest = sParseMask(arg, p.debugMask);
                if (*rest)
                    display.message(UpdaterDisplayInterface::Error,
                                    "Invalid format for \"%s\" parameter, unprocessed characters "
                                    "[%s]",
                                    text, rest);
                else
                    Log::ActivatePackage(p.debugMask);
                break;
            }
            case 'Z':
                p.commands.Set(CMD_OPTION_Z);
                break;
            case 'm':
                p.ueiBytes = arg[0] == '1' || strncmp(arg, "true", 4) == 0;
                break;
            case 'i':
                p.storageDirectory = arg;
                break;
            case 'b': {
                const char *end = nullptr;
                p.build = std::to_string(_get_int_arg(arg, &end));
                break;
            }
            case 'd':
                if (!sParseSerial(display, arg, p.serialNumber,
                                  "Discarding '0x' serial number prefix\n",
                                  "Invalid serial number obtained from argument [%s]"))
                    failed = true;
                break;
            case 't':
                p.transportGiven = true;
                if (strncmp(arg, "USB", 3) == 0) {
                    p.transport = 1;
                } else if (strncmp(arg, "TCP", 3) == 0) {
                    p.transport = 2;
                } else if (strncmp(arg, "RECOVER", 7) == 0) {
                    p.transport = kTransportRecover;
                } else {
                    display.message(UpdaterDisplayInterface::Error,
                                    "Invalid transport type:[%s]\nMust be one of the following: "
                                    "USB, TCPIP, RECOVER",
                                    arg);
                    p.transport = 0;
                    failed = true;
                }
                break;
            case 'f':
                p.birdFile = arg;
                break;
            case 'r':
                if (!sParseSerial(display, arg, p.routerSerialNumber,
                                  "Discarding '0x' router serial number prefix\n",
                                  "Invalid router serial number obtained from argument [%s]"))
                    failed = true;
                break;
            case 's':
                p.serialPort = arg;
                break;
            case 'o': {
                const char *end = nullptr;
                p.baudRate = _get_int_arg(arg, &end);
                break;
            }
            case 'e':
                p.echo = true;
                break;
            case 'l':
                p.historyMessage = arg;
                break;
            case 'k':
                p.logFileName = arg;
                break;
            case 'n':
                p.optionN = true;
                break;
            case 'u':
                p.serverUrl = arg;
                ++serverChoices;
                break;
            default:
                break;
            }
            break;
        default:
            break;
        }
    }

    if (serverChoices > 1) {
        display.message(UpdaterDisplayInterface::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, "
                        "or -U <host:port>.");
        failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.applicationName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");

    return failed ? 1 : _validate_params(p);
}
