#include "Parameters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "Log.h"
#include "RecordingDisplay.h"

namespace {

const std::string kHttp = std::string("http://") + UPDATER_SERVER_HOST + "/cgi/u";
const std::string kHttps = std::string("https://") + UPDATER_SERVER_HOST + "/cgi/u";

class GetParams : public ::testing::Test {
protected:
    void SetUp() override {
        Log::DeactivatePackage(0xFFFFFFFFu);
        logFile = tmpfile();
        Log::SetOutput(logFile);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(logFile);
    }

    int parse(std::vector<std::string> words) {
        storage = {"/usr/local/bin/Updater"};
        storage.insert(storage.end(), words.begin(), words.end());
        argv.clear();
        for (auto &w : storage)
            argv.push_back(&w[0]);
        display.lines.clear();
        return _get_params(display, (int)argv.size(), argv.data(), params);
    }

    std::string logText() {
        fflush(logFile);
        rewind(logFile);
        std::string text;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), logFile)) > 0)
            text.append(buf, n);
        return text;
    }

    RecordingDisplay display;
    Parameters params;
    std::vector<std::string> storage;
    std::vector<char *> argv;
    FILE *logFile = nullptr;
};

TEST_F(GetParams, DefaultsWithoutOptions) {
    // A record full of junk shows that _get_params sets every default itself.
    params.transport = 7;
    params.baudRate = 1;
    params.ueiBytes = false;
    params.serverUrl = "junk";
    params.build = "12";
    ASSERT_EQ(parse({}), 0);
    EXPECT_TRUE(display.lines.empty());
    EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFFu));
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_EQ(params.routerSerialNumber, 0u);
    EXPECT_EQ(params.transport, 1);
    EXPECT_FALSE(params.transportGiven);
    EXPECT_EQ(params.baudRate, 115200u);
    EXPECT_EQ(params.build, "");
    EXPECT_EQ(params.serverUrl, kHttp);
    EXPECT_EQ(params.applicationName, "Updater");
    EXPECT_EQ(params.logMode, "a+");
    EXPECT_EQ(params.logFileName, "Updater.log");
    EXPECT_TRUE(params.ueiBytes);
    EXPECT_FALSE(params.override);
    EXPECT_FALSE(params.extendedUsage);
    EXPECT_FALSE(params.helpRequested);
}

TEST_F(GetParams, ApplicationNameAfterEitherSeparator) {
    storage = {"C:\\tools\\bin/x\\Upd.exe"};
    argv = {&storage[0][0]};
    ASSERT_EQ(_get_params(display, 1, argv.data(), params), 0);
    EXPECT_EQ(params.applicationName, "Upd.exe");
}

TEST_F(GetParams, CommandBits) {
    ASSERT_EQ(parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"}), 0);
    for (uint32_t bit :
         {CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_DISCOVER, CMD_GET_BUILD, CMD_INFO, CMD_UPDATE,
          CMD_FINGERPRINT, CMD_CHECK_BIRD, CMD_GET_JWT, CMD_OPTION_Z})
        EXPECT_TRUE(params.commands.IsSet(bit)) << std::hex << bit;
    EXPECT_FALSE(params.commands.IsSet(CMD_HELP));
    EXPECT_FALSE(params.override);
}

TEST_F(GetParams, OverrideSetsNoCommand) {
    ASSERT_EQ(parse({"-OVER"}), 0);
    EXPECT_TRUE(params.override);
    EXPECT_FALSE(params.commands.IsSet(kCommandMask));
}

TEST_F(GetParams, HelpStopsTheWalk) {
    ASSERT_EQ(parse({"-h", "-X", "1", "-Y", "-d", "0"}), 0);
    EXPECT_TRUE(params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(params.helpRequested);
    EXPECT_FALSE(params.extendedUsage);
    EXPECT_TRUE(display.lines.empty());
    EXPECT_EQ(Log::ActivePackages(), 0u);
}

TEST_F(GetParams, ExtendedUsageBeforeHelp) {
    ASSERT_EQ(parse({"-X", "0", "--help"}), 0);
    EXPECT_TRUE(params.extendedUsage);
    EXPECT_TRUE(params.helpRequested);
}

struct MessageCase {
    std::vector<std::string> words;
    int result;
    std::vector<std::string> errors; // all at level Error
};

void PrintTo(const MessageCase &c, std::ostream *os) {
    for (const auto &w : c.words)
        *os << "[" << w << "]";
}

class GetParamsMessages : public GetParams, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(GetParamsMessages, ExactText) {
    const MessageCase &c = GetParam();
    EXPECT_EQ(parse(c.words), c.result);
    EXPECT_EQ(display.texts(), c.errors);
    for (const auto &line : display.lines)
        EXPECT_EQ(line.level, UpdaterDisplayInterface::Error);
}

const char kMultiple[] = "Multiple update server URLs specified. Choose one of: --https, --http, "
                         "or -U <host:port>.";

INSTANTIATE_TEST_SUITE_P(
    Options, GetParamsMessages,
    ::testing::Values(
        MessageCase{{"-Y"}, 1, {"Unhandled command: [-Y]"}},
        MessageCase{{"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}},
        MessageCase{{"-d", "0x0"}, 1, {"Invalid serial number obtained from argument [0]"}},
        MessageCase{
            {"-d", "40F5849G"}, 1, {"Invalid serial number obtained from argument [40F5849G]"}},
        MessageCase{{"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}},
        // More than 32 bits would silently name another device.
        MessageCase{
            {"-d", "140F5849A"}, 1, {"Invalid serial number obtained from argument [140F5849A]"}},
        MessageCase{
            {"-r", "0XZZ"}, 1, {"Invalid router serial number obtained from argument [ZZ]"}},
        MessageCase{{"-t", "tcp"},
                    1,
                    {"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, "
                     "RECOVER"}},
        MessageCase{{"-u", "http://127.0.0.1:1/cgi/u", "--https"}, 1, {kMultiple}},
        MessageCase{{"--http", "--https"}, 1, {kMultiple}},
        MessageCase{{"-u", "a", "-u", "b"}, 1, {kMultiple}}, MessageCase{{"--https"}, 0, {}},
        MessageCase{{"-X", "0x41G"},
                    0,
                    {"Invalid format for \"-X\" parameter, unprocessed characters [G]"}},
        MessageCase{{"-X", "12abc"},
                    0,
                    {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}},
        // Rejected by the scanner: dropped silently, the rest still counts.
        MessageCase{{"-b5", "--ht", "-Q", "-d", "-D"}, 0, {}},
        // Several failures are all reported.
        MessageCase{{"-Y", "-d", "0", "-t", "x"},
                    1,
                    {"Unhandled command: [-Y]", "Invalid serial number obtained from argument [0]",
                     "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, "
                     "RECOVER"}}));

TEST_F(GetParams, SerialWithAndWithoutPrefixAgree) {
    ASSERT_EQ(parse({"-d", "0x40F5849A", "-r", "D272031D"}), 0);
    EXPECT_EQ(params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(params.routerSerialNumber, 0xD272031Du);
    ASSERT_EQ(parse({"-d", "40f5849a", "-r", "0XD272031D"}), 0);
    EXPECT_EQ(params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(params.routerSerialNumber, 0xD272031Du);
}

TEST_F(GetParams, PrefixDropIsLoggedOnUpdaterPackage) {
    ASSERT_EQ(parse({"-d", "0x40F5849A"}), 0);
    EXPECT_EQ(logText().find("Discarding"), std::string::npos);
    Log::ActivatePackage(DEBUG_Updater);
    ASSERT_EQ(parse({"-d", "0x40F5849A", "-r", "0xD272031D"}), 0);
    EXPECT_EQ(logText(), "Discarding '0x' serial number prefix\n"
                         "Discarding '0x' router serial number prefix\n");
}

TEST_F(GetParams, TransportValues) {
    struct {
        const char *value;
        int transport;
    } cases[] = {{"USB", 1},   {"USBX", 1},       {"TCP", 2},
                 {"TCPIP", 2}, {"RECOVER", 0xFF}, {"RECOVERY", 0xFF}};
    for (auto &c : cases) {
        ASSERT_EQ(parse({"-t", c.value}), 0) << c.value;
        EXPECT_EQ(params.transport, c.transport) << c.value;
        EXPECT_TRUE(params.transportGiven);
    }
    ASSERT_EQ(parse({"-t", "RECOVE"}), 1);
    EXPECT_EQ(params.transport, 0);
}

TEST_F(GetParams, DebugMaskActivatesPackages) {
    ASSERT_EQ(parse({"-X", "0x400", "-X", "1"}), 0);
    EXPECT_EQ(Log::ActivePackages(), 0x401u);
    EXPECT_TRUE(params.extendedUsage);
    Log::DeactivatePackage(0xFFFFFFFFu);
    // Unread characters: the mask stays as it was.
    ASSERT_EQ(parse({"-X", "0x41G"}), 0);
    EXPECT_EQ(Log::ActivePackages(), 0u);
    ASSERT_EQ(parse({"-X", "65536"}), 0);
    EXPECT_EQ(Log::ActivePackages(), 0x10000u);
}

TEST_F(GetParams, ValuesOfParameters) {
    ASSERT_EQ(parse({"-b", "99528558", "-o", "9600", "-s", "/dev/ttyS0", "-f", "x.bird", "-i",
                     "/tmp/store", "-l", "msg", "-k", "f.log", "-n", "-e", "-u", "127.0.0.1:9"}),
              0);
    EXPECT_EQ(params.build, "99528558");
    EXPECT_EQ(params.baudRate, 9600u);
    EXPECT_EQ(params.serialPort, "/dev/ttyS0");
    EXPECT_EQ(params.birdFile, "x.bird");
    EXPECT_EQ(params.storageDirectory, "/tmp/store");
    EXPECT_EQ(params.historyMessage, "msg");
    EXPECT_EQ(params.logFileName, "f.log");
    EXPECT_TRUE(params.optionN);
    EXPECT_TRUE(params.echo);
    EXPECT_EQ(params.serverUrl, "127.0.0.1:9");
    // Not a number: build "0" (latest) and baud 0, without a message.
    ASSERT_EQ(parse({"-b", "latest", "-o", "fast"}), 0);
    EXPECT_EQ(params.build, "0");
    EXPECT_EQ(params.baudRate, 0u);
    EXPECT_TRUE(display.lines.empty());
    ASSERT_EQ(parse({"--https"}), 0);
    EXPECT_EQ(params.serverUrl, kHttps);
}

TEST_F(GetParams, UeiBytesValue) {
    struct {
        const char *value;
        bool on;
    } cases[] = {{"1", true},  {"10", true},    {"true", true}, {"trueish", true},
                 {"0", false}, {"TRUE", false}, {"tru", false}, {"yes", false}};
    for (auto &c : cases) {
        ASSERT_EQ(parse({"-m", c.value}), 0);
        EXPECT_EQ(params.ueiBytes, c.on) << c.value;
    }
}

TEST_F(GetParams, ParametersLoggedInScannerOrder) {
    Log::ActivatePackage(DEBUG_APP);
    ASSERT_EQ(parse({"stray", "-D", "-d", "1"}), 0);
    EXPECT_EQ(logText(), "\nApplication parameters:[Updater]\n"
                         "\t[/usr/local/bin/Updater]\n\t[-D]\n\t[-d]\n\t[1]\n\t[stray]\n");
}

TEST(ArgReaders, HexAndDecimal) {
    struct {
        const char *text;
        uint32_t hex;
        bool hexOk;
        uint32_t dec;
        bool decOk;
    } cases[] = {
        {"40F5849A", 0x40F5849A, true, 0, false},
        {"ffffffff", 0xFFFFFFFF, true, 0, false},
        {"123", 0x123, true, 123, true},
        {"4294967295", 0, false, 4294967295u, true},
        {"4294967296", 0, false, 0, false}, // neither fits in 32 bits
        {"", 0, true, 0, true},
        {"12 ", 0, false, 0, false},
        {"-1", 0, false, 0, false},
        {"0x10", 0, false, 0, false},
    };
    for (auto &c : cases) {
        const char *end = "unchanged";
        const char *before = end;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << c.text;
        EXPECT_EQ(end, c.hexOk ? c.text + strlen(c.text) : before) << c.text;
        end = before;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << c.text;
        EXPECT_EQ(end, c.decOk ? c.text + strlen(c.text) : before) << c.text;
    }
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(Hooks, ValidateAndReleaseAcceptEverything) {
    Parameters p;
    EXPECT_EQ(_validate_params(p), 0);
    EXPECT_EQ(_release_params(p), 0);
}

} // namespace
