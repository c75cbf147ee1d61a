// Module and Link against the module peer over TCP: connection, discovery with fallback,
// auto-networking, raw packets, the echo test and the module queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "I2CClass.h"
#include "ObjectsPeer.h"
#include "SystemClass.h"

using namespace objects_test;
using Veltrona::Corvantis::Link;
using Veltrona::Corvantis::Link_SetDiscoveryOps;
using Veltrona::Corvantis::LinkDiscoveryOps;
using Veltrona::Corvantis::SystemClass;

namespace {

size_t countLines(const std::vector<std::string> &log, const std::string &prefix) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

// Scripted discovery: records every call and finds what the test put in `devices`.
struct FakeDiscovery {
    static std::mutex lock;
    static std::vector<uint32_t> calls;
    static std::vector<linkSpec> devices;

    static linkSpec *find(uint32_t type, uint32_t serial, uint32_t) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(type);
        for (const linkSpec &spec : devices)
            if (spec.type == type && spec.serial_num == serial)
                return aLinkSpec_Copy(&spec);
        return nullptr;
    }
    static uint8_t enumerate(uint32_t type, aDiscoveryModuleFoundProc callback, void *reference,
                             uint32_t) {
        std::vector<linkSpec> found;
        {
            std::lock_guard<std::mutex> guard(lock);
            calls.push_back(type);
            for (const linkSpec &spec : devices)
                if (spec.type == type)
                    found.push_back(spec);
        }
        uint8_t count = 0;
        for (const linkSpec &spec : found) {
            bool accepted = false;
            bool more = callback(&spec, &accepted, reference);
            count += accepted ? 1 : 0;
            if (!more)
                break;
        }
        return count;
    }
};
std::mutex FakeDiscovery::lock;
std::vector<uint32_t> FakeDiscovery::calls;
std::vector<linkSpec> FakeDiscovery::devices;
const LinkDiscoveryOps sFakeOps = {FakeDiscovery::find, FakeDiscovery::enumerate};

class FakeDiscoveryScope {
public:
    FakeDiscoveryScope() {
        FakeDiscovery::calls.clear();
        FakeDiscovery::devices.clear();
        Link_SetDiscoveryOps(&sFakeOps);
    }
    ~FakeDiscoveryScope() { Link_SetDiscoveryOps(nullptr); }
};

} // namespace

// --- without a device --------------------------------------------------------------------

TEST(ModuleNoDevice, ConnectWithSerialZeroIsParamWithoutDiscovery) {
    FakeDiscoveryScope fake;
    Module module(2, 0);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_TRUE(FakeDiscovery::calls.empty());
}

struct FallbackCase {
    linkType type;
    bool fallback;
    std::vector<uint32_t> tried;
};

class Fallback : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(Fallback, TriesTheOtherFamilyOnce) {
    FakeDiscoveryScope fake;
    Link link("Link");
    aFabricConfig config;
    config.fallback = GetParam().fallback;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(GetParam().type, 0x1234, 0), aErrNotFound);
    EXPECT_EQ(FakeDiscovery::calls, GetParam().tried);
    EXPECT_FALSE(link.isConnected());
}

INSTANTIATE_TEST_SUITE_P(Link, Fallback,
                         ::testing::Values(FallbackCase{USB, true, {USB, AFABRIC}},
                                           FallbackCase{TCPIP, true, {TCPIP, AFABRIC}},
                                           FallbackCase{AFABRIC_TCPIP, true, {AFABRIC_TCPIP, USB}},
                                           FallbackCase{USB, false, {USB}},
                                           FallbackCase{SERIAL, true, {SERIAL}}),
                         [](const ::testing::TestParamInfo<FallbackCase> &info) {
                             return "Type" + std::to_string(info.param.type) +
                                    (info.param.fallback ? "On" : "Off");
                         });

TEST(ModuleNoDevice, UnconnectedOperationsReportTheirCodes) {
    Module module(2, 0);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkStatusPacketError);
    uint8_t address = 0x55;
    EXPECT_EQ(module.getLink()->getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(module.getLink()->sendPacket(6, 0x17, 2, data), aErrConnection);
    EXPECT_EQ(module.debug(data, 2), aErrConnection);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);
    linkSpec spec;
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(module.getLink()->connect(), aErrConfiguration); // no specifier
    EXPECT_EQ(module.disconnect(), aErrNone);
}

TEST(ModuleNoDevice, NameIsCopiedAndCut) {
    std::string longName(1500, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(std::string(link.getName()), std::string(1024, 'n'));
    Link unnamed(static_cast<const char *>(nullptr));
    EXPECT_EQ(unnamed.getName(), nullptr);
}

// --- connection ----------------------------------------------------------------------------

class ModuleConnect : public PeerTest {
protected:
    void SetUp() override { startPeer(); }
};

TEST_F(ModuleConnect, NetworkingOnFailsCleanlyWithoutSharingServer) {
    Module module(2, 0); // default configuration: a sharing server in front of the device
    EXPECT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrConnection);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getLink()->getLinkRef(), 0u);
    // The direct link was taken down again: the peer sees its connection close.
    for (int i = 0; i < 100 && peer.status()["sessions"] != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(peer.status()["sessions"], 0);
}

TEST_F(ModuleConnect, AutoNetworkingLearnsTheAddress) {
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkStatusRunning);
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrBusy);
    // A held identifier is refused until it is released.
    EXPECT_EQ(module.getLink()->connect(), aErrConnection);
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
}

TEST_F(ModuleConnect, WithoutNetworkingModeTheAddressStays) {
    Module module(0x22, false, 0);
    ASSERT_EQ(module.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 0x22);
    EXPECT_EQ(countLines(peer.rxLog(), "AD 00"), 0u);
}

TEST_F(ModuleConnect, DeviceIgnoringAddressQueryGivesNotReadyAfterFourTries) {
    ASSERT_TRUE(peer.ok("silent on"));
    Module module(0x22, 0);
    ASSERT_EQ(module.setConfig(directConfig()), aErrNone);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNotReady);
    long elapsed = msSince(start);
    EXPECT_GE(elapsed, 3900);
    EXPECT_LT(elapsed, 6000);
    // Four address queries, and no address from a silent device ever replaces ours.
    EXPECT_EQ(countLines(peer.rxLog(), "AD 00"), 4u);
    EXPECT_EQ(module.getModuleAddress(), 0x22);
}

TEST_F(ModuleConnect, SetConfigWhileConnectedIsModeAndKeepsTheConfiguration) {
    Module module(2, 0);
    aFabricConfig config = directConfig();
    config.assignedPort = 4321;
    ASSERT_EQ(module.setConfig(config), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    aFabricConfig other;
    other.assignedPort = 999;
    EXPECT_EQ(module.setConfig(other), aErrMode);
    aFabricConfig now;
    ASSERT_EQ(module.getConfig(&now), aErrNone);
    EXPECT_FALSE(now.enabled);
    EXPECT_FALSE(now.fallback);
    EXPECT_EQ(now.assignedPort, 4321);
    EXPECT_EQ(module.getConfig(nullptr), aErrParam);
    linkSpec spec{};
    EXPECT_EQ(module.getLink()->setLinkSpecifier(spec), aErrBusy);
}

TEST_F(ModuleConnect, DiscoveryTakesTheFirstDeviceOfTheWantedModel) {
    FakeDiscoveryScope fake;
    linkSpec other = tcpSpec(0x0BADBAD0, 1); // nothing listens there
    other.model = 5;
    linkSpec wanted = tcpSpec(serial, peer.tcpPort);
    wanted.model = 0x13;
    FakeDiscovery::devices = {other, wanted};
    Module module(2, true, 0x13);
    ASSERT_EQ(module.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(module.discoverAndConnect(TCPIP, 0), aErrNone);
    linkSpec used;
    ASSERT_EQ(module.getLinkSpecifier(&used), aErrNone);
    EXPECT_EQ(used.serial_num, serial);
    EXPECT_EQ(module.getModuleAddress(), 6);
}

TEST_F(ModuleConnect, DiscoveryBySerialNumberConnects) {
    FakeDiscoveryScope fake;
    FakeDiscovery::devices = {tcpSpec(serial, peer.tcpPort)};
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(module.connect(TCPIP, serial), aErrNone);
    EXPECT_EQ(FakeDiscovery::calls, std::vector<uint32_t>{TCPIP});
    EXPECT_TRUE(module.isConnected());
}

// --- through a router -------------------------------------------------------------------------

TEST_F(ModuleConnect, ConnectThroughLinkModuleSharesTheRoutersLink) {
    ASSERT_TRUE(peer.ok("router on"));
    ASSERT_TRUE(peer.ok("router-add 0x0A 0xCAFE0001"));
    Module router(2, 0);
    ASSERT_EQ(router.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);

    Module behind(0x0A, false, 0);
    ASSERT_EQ(behind.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(behind.getLink()->getLinkRef(), router.getLink()->getLinkRef());
    EXPECT_EQ(behind.getModuleAddress(), 0x0A);
    // Connected already: nothing changes.
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone);

    SystemClass system;
    system.init(&behind, 0);
    uint32_t behindSerial = 0;
    EXPECT_EQ(system.getSerialNumber(&behindSerial), aErrNone);
    EXPECT_EQ(behindSerial, 0xCAFE0001u);
    // Dropping the module behind leaves the router's link running.
    EXPECT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(router.isConnected());
    uint32_t routerSerial = 0;
    EXPECT_EQ(routerSystem.getSerialNumber(&routerSerial), aErrNone);
    EXPECT_EQ(routerSerial, serial);
}

TEST_F(ModuleConnect, FailedConnectThroughLeavesTheRoutersLinkAlone) {
    Module router(2, 0);
    ASSERT_EQ(router.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
    {
        Link behind("Link"); // no specifier: the connection fails before taking a hold
        EXPECT_EQ(behind.connectThroughLinkModule(router.getLink()), aErrConfiguration);
        EXPECT_EQ(behind.getLinkRef(), 0u);
    }
    EXPECT_TRUE(router.isConnected());
    const uint8_t data[1] = {7};
    EXPECT_EQ(router.debug(data, 1), aErrNone);
}

TEST(ModuleNoDevice, ConnectThroughAnUnconnectedRouterWithoutSpecifierIsNotFound) {
    Module router(2, 0);
    Module behind(4, false, 0);
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNotFound);
    EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrInitialization);
}

// --- raw packets, echo and module queries ----------------------------------------------------

using ModuleQueries = PeerTest;

TEST_F(ModuleQueries, RawPacketChecks) {
    Link *link = module->getLink();
    uint8_t data[28] = {};
    EXPECT_EQ(link->sendPacket(6, 0x17, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(7, 0x17, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 0x17, 1, data), aErrPacket);
    uint8_t length = 1;
    const uint8_t match[1] = {0x17};
    EXPECT_EQ(link->receivePacket(5, match, &length, data), aErrPacket);

    const uint8_t payload[27] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    ASSERT_EQ(link->sendPacket(6, 0x17, 27, payload), aErrNone);
    length = 1;
    ASSERT_EQ(link->receivePacket(6, match, &length, data), aErrNone);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(data[0], 0x17);
    EXPECT_EQ(std::memcmp(data + 1, payload, 27), 0);
    // Nothing more comes.
    length = 1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->receivePacket(6, match, &length, data), aErrTimeout);
    EXPECT_GE(msSince(start), 950);
}

TEST_F(ModuleQueries, EchoTest) {
    const uint8_t data[3] = {0xA1, 0xB2, 0xC3};
    EXPECT_EQ(module->debug(data, 3), aErrNone);
    EXPECT_EQ(module->debug(data, 0), aErrNone);
    uint8_t big[28] = {};
    EXPECT_EQ(module->debug(big, 28), aErrParam);
    // One byte of the echo differs.
    ASSERT_TRUE(peer.ok("reply 060417A1B2C3 060417A1B2C4"));
    EXPECT_EQ(module->debug(data, 3), aErrIO);
    // An echo one byte short.
    ASSERT_TRUE(peer.ok("reply-clear"));
    ASSERT_TRUE(peer.ok("reply 060417A1B2C3 060317A1B2"));
    EXPECT_EQ(module->debug(data, 3), aErrIO);
}

TEST_F(ModuleQueries, GetBuild) {
    uint32_t build = 0;
    EXPECT_EQ(module->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 1000u);
    ASSERT_TRUE(peer.ok("sys-set build 0xA1B2C3D4"));
    EXPECT_EQ(module->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 0xA1B2C3D4u);
    ASSERT_TRUE(peer.ok("reply 060249FF 060549FF000001"));
    build = 7;
    EXPECT_EQ(module->getBuild(&build), aErrSize);
    EXPECT_EQ(build, 7u);
}

TEST_F(ModuleQueries, HasUEIChecksItsFlagsBeforeSending) {
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x40), aErrNone);
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x00), aErrNone);
    EXPECT_EQ(module->hasUEI(0x03, 32, 0, 0x80), aErrNone);
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x80), aErrInvalidOption); // serial is read-only
    EXPECT_EQ(module->hasUEI(0x5F, 1, 0, 0x80), aErrInvalidOption);
    clearLog();
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0xC0), aErrParam);
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x01), aErrParam);
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x20), aErrParam);
    // A marker packet shows that nothing went out before it.
    const uint8_t marker[1] = {0x5A};
    ASSERT_EQ(module->debug(marker, 1), aErrNone);
    std::vector<std::string> log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 02 17 5A");
    // A reply that does not echo the question.
    ASSERT_TRUE(peer.ok("reply 060649010309 0606490103080000"));
    EXPECT_EQ(module->hasUEI(0x03, 9, 0, 0x40), aErrUnknown);
}

TEST_F(ModuleQueries, EntityCountsAndGroups) {
    uint8_t value = 0xEE;
    EXPECT_EQ(module->classQuantity(0x03, &value), aErrNone);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(module->subClassQuantity(0x03, 0, &value), aErrNone);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(module->entityGroup(0x03, 0, &value), aErrNone);
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(module->classQuantity(0x03, nullptr), aErrParam);
    ASSERT_TRUE(peer.ok("reply 0603490403 06054904030101"));
    value = 0xEE;
    EXPECT_EQ(module->classQuantity(0x03, &value), aErrUnknown);
    EXPECT_EQ(value, 0);
    ASSERT_TRUE(peer.ok("reply 0604490503 06054905040001"));
    EXPECT_EQ(module->subClassQuantity(0x03, 0, &value), aErrUnknown);
}

TEST_F(ModuleQueries, PooledPacketsNeedALink) {
    EXPECT_EQ(module->getLink()->enablePooledPackets(true), aErrNone);
    const uint8_t data[1] = {1};
    EXPECT_EQ(module->debug(data, 1), aErrNone);
    Link unconnected("Link");
    EXPECT_EQ(unconnected.enablePooledPackets(true), aErrParam);
}
