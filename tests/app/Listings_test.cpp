#include "Listings.h"

#include <gtest/gtest.h>

#include <cstring>

#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "aDefs.h"

namespace {

using Lines = std::vector<std::string>;

const char kUsbHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char kIpHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)"
                         "   [IP address]       Device Name";

DeviceInfo sDevice(uint32_t type, uint32_t serial, uint32_t model, uint8_t major, uint8_t minor,
                   uint32_t patch, uint32_t build, const char *name, aErr error = aErrNone) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serial_num = serial;
    d.spec.module = 0x06;
    d.spec.router = 0x0A;
    d.spec.model = model;
    d.versionMajor = major;
    d.versionMinor = minor;
    d.versionPatch = patch;
    d.build = build;
    d.deviceName = name;
    d.error = error;
    return d;
}

TEST(Identification, VersionLine) {
    RecordingDisplay display;
    _display_app_version(display);
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].level, UpdaterDisplayInterface::Info);
    EXPECT_EQ(display.lines[0].text, std::string("Updater (Version: 2.12.4 ") + __DATE__ + ")");
}

TEST(Identification, CopyrightRunsToTheBuildYear) {
    RecordingDisplay display;
    _display_copyright(display);
    ASSERT_EQ(display.lines.size(), 1u);
    std::string year = std::string(__DATE__).substr(7);
    EXPECT_EQ(display.lines[0].text,
              "Copyright (c) 2014-" + year + " Veltrona Instruments. All rights reserved.");
}

TEST(DeviceTable, EmptySearches) {
    struct {
        int type;
        const char *title;
    } cases[] = {{1, "Discovered Devices: (USB)"},
                 {2, "Discovered Devices: (TCPIP)"},
                 {0, "Discovered Devices: (Unknown)"},
                 {3, "Discovered Devices: (Unknown)"}};
    for (auto &c : cases) {
        RecordingDisplay display;
        _display_device_list(display, {}, c.type);
        EXPECT_EQ(display.texts(), (Lines{c.title, "    No devices found."}));
    }
}

TEST(DeviceTable, UsbRowsAndErrorRow) {
    RecordingDisplay display;
    std::vector<DeviceInfo> list = {
        sDevice(USB, 0x40F5849A, 6, 2, 12, 4, 99528558, "bench hub"),
        sDevice(USB, 0x1, 6, 0, 0, 0, 0, "", aErrConnection),
        sDevice(USB, 0xABC, 4, 1, 2, 300, 7, "x"),
    };
    _display_device_list(display, list, USB);
    std::string model4 = aDefs_GetModelName(4);
    char row3[200];
    snprintf(row3, sizeof(row3),
             "    00000ABC  06       0A      %-12s   1.2.300 (         7)         x",
             model4.c_str());
    EXPECT_EQ(display.texts(),
              (Lines{"Discovered Devices: (USB)", kUsbHeader,
                     "    40F5849A  06       0A      Unknown        2.12.4 (  99528558)         "
                     "bench hub",
                     "    00000001  [Error (25): Device in use. Close all other Veltrona "
                     "associated applications.]",
                     row3}));
}

TEST(DeviceTable, RowFormFollowsTheDevicesOwnTransport) {
    RecordingDisplay display;
    DeviceInfo ip = sDevice(TCPIP, 0xD272031D, 6, 3, 0, 1, 4294967295u, "router",
                            aErrTimeout); // the error of a TCP/IP row is not looked at
    const unsigned char address[4] = {192, 168, 1, 10}; // network order, as discovery stores it
    std::memcpy(&ip.spec.ip_address, address, sizeof address);
    std::vector<DeviceInfo> list = {ip, sDevice(USB, 0x2181F0EE, 6, 1, 0, 0, 5, "behind")};
    // A router search without a transport option lists under "Unknown".
    _display_device_list(display, list, 0);
    EXPECT_EQ(display.texts(),
              (Lines{"Discovered Devices: (Unknown)", kIpHeader,
                     "    D272031D  06       0A      Unknown        3.0.1 (4294967295)        "
                     "[192.168.1.10]     router",
                     "    2181F0EE  06       0A      Unknown        1.0.0 (         5)         "
                     "behind"}));
}

TEST(BuildList, EmptyList) {
    RecordingDisplay display;
    _display_builds(display, {}, 0x40F5849A);
    EXPECT_EQ(display.texts(), (Lines{"No builds found for device [40F5849A]"}));
}

TEST(BuildList, OneEntryTitleHeaderAndRow) {
    RecordingDisplay display;
    _display_builds(display, {{"99528558", "2.12.4"}}, 0x40F5849A);
    EXPECT_EQ(display.texts(),
              (Lines{"Build List for device [40F5849A]:\n", "Build          \tVersion        ",
                     "99528558       \t2.12.4         "}));
}

TEST(BuildList, NewestFirstAndColumnsCut) {
    RecordingDisplay display;
    std::map<std::string, std::string> builds = {
        {"100", "2.9.1"},
        {"200", "2.10.0"},
        {"300", "1.99.99"},
        {"1234567890123456789", "10.0.0"},
        {"400", "2.10.0.1234567890123"},
    };
    _display_builds(display, builds, 0x1);
    Lines texts = display.texts();
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts[2], "123456789012345\t10.0.0         ");
    EXPECT_EQ(texts[3], "200            \t2.10.0         ");
    EXPECT_EQ(texts[4], "100            \t2.9.1          ");
    EXPECT_EQ(texts[5], "300            \t1.99.99        ");
    // Not three numbers: listed after the readable versions, cut to 15 characters.
    EXPECT_EQ(texts[6], "400            \t2.10.0.12345678");
}

TEST(Fingerprint, FourWordsWordZeroFirst) {
    RecordingDisplay display;
    Fingerprint fp;
    fp.words[0] = 0x1;
    fp.words[1] = 0xDEADBEEF;
    fp.words[2] = 0xABC;
    fp.words[3] = 0;
    _display_fingerprint(display, fp);
    EXPECT_EQ(display.texts(), (Lines{"[ 00000001 DEADBEEF 00000ABC 00000000 ]"}));
}

TEST(Token, OnItsOwnLine) {
    RecordingDisplay display;
    _display_jwt(display, "aa.bb.cc");
    _display_jwt(display, "");
    _display_jwt(display, "50%s%d");
    EXPECT_EQ(display.texts(), (Lines{"aa.bb.cc", "", "50%s%d"}));
}

} // namespace
