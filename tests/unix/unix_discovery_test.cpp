#include "unix_discovery.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "FakeLibusb.h"
#include "discover.h"

namespace {

struct Found {
    std::vector<linkSpec> records;
    size_t stopAfter = 0; // 0: never stop
    bool accept = true;
};

bool sCollect(const linkSpec *spec, bool *accepted, void *reference) {
    Found *found = (Found *)reference;
    found->records.push_back(*spec);
    *accepted = found->accept;
    return found->stopAfter == 0 || found->records.size() < found->stopAfter;
}

// Modules and look-alikes on the fake bus, in the order the system lists them.
class UsbBus : public ::testing::Test {
protected:
    FakeLibusb usb;
    void SetUp() override {
        usb.add("0000ABCD", 0x0005);
        usb.add("11111111", 0x8001);                                  // not a module: product
        usb.add("1234567", 0x0007);                                   // seven characters
        usb.add("22222222", 0x0005).vendor = 0x1234;                  // another vendor
        usb.add("ZZZZ0000", 0x0009);                                  // not hexadecimal
        usb.add("00C0FFEE", 0x0113);                                  // model is the low byte
        usb.add("33333333", 0x0004).openResult = LIBUSB_ERROR_ACCESS; // cannot be opened
        usb.add("123456789", 0x0006);                                 // nine characters
    }
    void TearDown() override {
        EXPECT_EQ(usb.opens, usb.closes);
        EXPECT_EQ(usb.lists, usb.freedLists);
    }
};

} // namespace

TEST_F(UsbBus, ReportsModulesWithEightDigitSerials) {
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 2);
    ASSERT_EQ(found.records.size(), 2u);
    const linkSpec &first = found.records[0];
    EXPECT_EQ(first.type, (uint32_t)USB);
    EXPECT_EQ(first.serial_num, 0xABCDu);
    EXPECT_EQ(first.model, 0x05u);
    EXPECT_EQ(first.module, 0u);
    EXPECT_EQ(first.router, 0u);
    EXPECT_EQ(first.router_serial_num, 0u);
    uint32_t again = 0;
    memcpy(&again, first.transport, 4);
    EXPECT_EQ(again, 0xABCDu);
    for (size_t i = 4; i < sizeof(first.transport); ++i)
        EXPECT_EQ(first.transport[i], 0) << i;
    EXPECT_EQ(found.records[1].serial_num, 0xC0FFEEu);
    EXPECT_EQ(found.records[1].model, 0x13u);
}

TEST_F(UsbBus, CallbackDecidesCountAndEnd) {
    Found stopping;
    stopping.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &stopping, 0), 1);
    EXPECT_EQ(stopping.records.size(), 1u);

    Found refusing;
    refusing.accept = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &refusing, 0), 0);
    EXPECT_EQ(refusing.records.size(), 2u);
}

TEST_F(UsbBus, FindModuleBySerial) {
    linkSpec *spec = aDiscovery_FindModule(USB, 0xC0FFEE, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_num, 0xC0FFEEu);
    EXPECT_EQ(spec->model, 0x13u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x1234567, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x33333333, 0), nullptr);

    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_num, 0xABCDu);
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbBus, TypesWithoutDiscoveryFindNothing) {
    for (uint32_t type : {0u, 3u, 8u, 0xFFFFFFFFu}) {
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, sCollect, &found, 0), 0) << type;
        EXPECT_TRUE(found.records.empty()) << type;
    }
    EXPECT_EQ(usb.lists, 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0);
}

TEST(UsbDiscovery, NoDevicesIsQuick) {
    FakeLibusb usb;
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 0);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x1234, 0), nullptr);
    EXPECT_EQ(usb.lists, usb.freedLists);
}

TEST(LinkSpec, CreateCopyDestroy) {
    linkSpec *spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, (uint32_t)TCPIP);
    const uint8_t *bytes = (const uint8_t *)spec;
    for (size_t i = 4; i < sizeof(linkSpec); ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    spec->serial_num = 0x01020304;
    spec->ip_port = 8016;
    snprintf(spec->serial_port + 50, 10, "tail");
    linkSpec *copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(LinkSpec, LayoutIsTheWireRecord) {
    EXPECT_EQ(sizeof(linkSpec), 128u);
    EXPECT_EQ(offsetof(linkSpec, serial_num), 4u);
    EXPECT_EQ(offsetof(linkSpec, model), 20u);
    EXPECT_EQ(offsetof(linkSpec, ip_address), 24u);
    EXPECT_EQ(offsetof(linkSpec, ip_port), 28u);
    EXPECT_EQ(offsetof(linkSpec, baud_rate), 24u);
    EXPECT_EQ(offsetof(linkSpec, serial_port), 28u);
}

TEST(Interfaces, ConvertNeedsSixteenBytes) {
    char buffer[32];
    uint32_t address = 0;
    inet_pton(AF_INET, "255.255.255.255", &address);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, buffer, 15), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, buffer, 16), 15u);
    EXPECT_STREQ(buffer, "255.255.255.255");
    inet_pton(AF_INET, "10.77.0.1", &address);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, buffer, sizeof(buffer)), 9u);
    EXPECT_STREQ(buffer, "10.77.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, nullptr, 16), 0u);
}

TEST(Interfaces, ListsTheLoopbackAddress) {
    uint32_t addresses[50];
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
    uint32_t count = aDiscovery_GetIPv4Interfaces(addresses, 50);
    ASSERT_GE(count, 1u);
    bool loopback = false;
    for (uint32_t i = 0; i < count; ++i)
        loopback = loopback || addresses[i] == htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(loopback);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 1), 1u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
}

TEST(DiscoverySeen, SameSerialAddressPortAndTypeIsADuplicate) {
    aDiscoverySeen seen = {nullptr, 0, 0};
    linkSpec a{};
    a.type = TCPIP;
    a.serial_num = 1;
    a.ip_address = 0x0100007F;
    a.ip_port = 8016;
    EXPECT_FALSE(aDiscoverySeen_Check(&seen, &a));
    EXPECT_TRUE(aDiscoverySeen_Check(&seen, &a));
    linkSpec b = a;
    b.model = 9; // not part of the identity
    EXPECT_TRUE(aDiscoverySeen_Check(&seen, &b));
    for (int field = 0; field < 4; ++field) {
        linkSpec c = a;
        if (field == 0)
            c.type = AFABRIC_USB;
        if (field == 1)
            c.serial_num = 2;
        if (field == 2)
            c.ip_address = 0x0200007F;
        if (field == 3)
            c.ip_port = 8017;
        EXPECT_FALSE(aDiscoverySeen_Check(&seen, &c)) << field;
    }
    for (int i = 0; i < 40; ++i) {
        linkSpec d = a;
        d.serial_num = 1000 + i;
        EXPECT_FALSE(aDiscoverySeen_Check(&seen, &d));
    }
    EXPECT_TRUE(aDiscoverySeen_Check(&seen, &a));
    aDiscoverySeen_Free(&seen);
}

// The real library on this machine: no module is attached here, so the search ends at once.
TEST(UsbDiscovery, RealLibraryWithoutModulesIsQuick) {
    if (!Corvantis_libusb_context())
        GTEST_SKIP() << "libusb cannot initialise here";
    // Timed from a fresh context, as in a new process.
    Corvantis_libusb_exit();
    Found found;
    auto start = std::chrono::steady_clock::now();
    uint8_t count = aDiscovery_EnumerateModules(USB, sCollect, &found, 0);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(count, found.records.size());
    EXPECT_LT(took.count(), 1000.0);
    RecordProperty("usb_enumeration_ms", std::to_string(took.count()));
    printf("USB enumeration with %u modules: %.3f ms\n", (unsigned)count, took.count());
    Corvantis_libusb_exit();
}
