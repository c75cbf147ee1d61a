// The engine's device helpers against the module peer: the direct networking configuration,
// build, version and name reading.
#include <gtest/gtest.h>

#include "../app/RecordingDisplay.h"
#include "../objects/ObjectsPeer.h"
#include "UpdaterHelpers.h"

using namespace objects_test;

namespace {

class DiscoveryHelpers : public PeerTest {
protected:
    void SetUp() override {
        startPeer();
        module.reset(new Module(2, 0));
    }
    void connect() {
        ASSERT_EQ(_disableFabric(*module, display), aErrNone);
        ASSERT_EQ(module->connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    }
    RecordingDisplay display;
};

} // namespace

TEST_F(DiscoveryHelpers, DisableFabricSwitchesServerAndFallbackOff) {
    ASSERT_EQ(_disableFabric(*module, display), aErrNone);
    aFabricConfig config;
    ASSERT_EQ(module->getConfig(&config), aErrNone);
    EXPECT_FALSE(config.enabled);
    EXPECT_FALSE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.assignedPort, 0);
    EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(display.lines.empty());
    // A connected module cannot take a new configuration: shown and returned.
    ASSERT_EQ(module->connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    EXPECT_EQ(_disableFabric(*module, display), aErrMode);
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0], (RecordingDisplay::Line{UpdaterDisplayInterface::Error,
                                                        "Failed to SET network configuration"}));
}

TEST_F(DiscoveryHelpers, BuildNumber) {
    connect();
    ASSERT_TRUE(peer.ok("sys-set build 0x01020304"));
    EXPECT_EQ(_get_build_number(*module), 0x01020304u);
    ASSERT_TRUE(peer.ok("reply 060249FF 060549FF000001")); // one byte short
    EXPECT_EQ(_get_build_number(*module), 0u);
}

struct NameCase {
    const char *version;
    uint8_t major, minor;
    uint32_t patch;
    const char *name;
};

class DeviceName : public DiscoveryHelpers, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceName, IsReadFrom2_10_4On) {
    connect();
    ASSERT_TRUE(peer.ok(std::string("sys-set version ") + GetParam().version));
    ASSERT_TRUE(peer.ok("sys-set name Left bench"));
    ASSERT_TRUE(peer.ok("sys-set router 0x22"));
    DeviceInfo info;
    ASSERT_EQ(_get_version(*module, info), aErrNone);
    EXPECT_EQ(info.versionMajor, GetParam().major);
    EXPECT_EQ(info.versionMinor, GetParam().minor);
    EXPECT_EQ(info.versionPatch, GetParam().patch);
    EXPECT_EQ(info.spec.module, 6u);
    EXPECT_EQ(info.spec.router, 0x22u);
    EXPECT_EQ(_get_device_name(*module, info), aErrNone);
    EXPECT_EQ(info.deviceName, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Versions, DeviceName,
                         ::testing::Values(NameCase{"2.10.3", 2, 10, 3, ""},
                                           NameCase{"2.10.4", 2, 10, 4, "Left bench"},
                                           NameCase{"2.9.200", 2, 9, 200, ""},
                                           NameCase{"3.0.0", 3, 0, 0, "Left bench"},
                                           // legacy layout, patch beyond a byte
                                           NameCase{"0x2A000100", 2, 10, 256, "Left bench"}));

TEST_F(DiscoveryHelpers, VersionStopsAtTheFirstError) {
    connect();
    ASSERT_TRUE(peer.ok("sys-refuse 1 29"));
    DeviceInfo info;
    EXPECT_EQ(_get_version(*module, info), aErrInvalidOption);
    EXPECT_EQ(info.versionMajor, 2);
    EXPECT_EQ(info.spec.module, 0u);
    EXPECT_EQ(info.spec.router, 0u);
}
