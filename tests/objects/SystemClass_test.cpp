// SystemClass against the module peer's system entity: every option of its table, signed
// readings, byte strings, and the set and call operations.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ObjectsPeer.h"
#include "SystemClass.h"

using namespace objects_test;
using Veltrona::Corvantis::SystemClass;

namespace {

class SystemTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        system.init(module.get(), 0);
        clearLog();
    }
    SystemClass system;
};

struct Getter {
    const char *key; // the peer's name of the value
    uint8_t option;
    bool wide; // a 32-bit value (else a byte)
    std::function<aErr(SystemClass &, uint32_t *)> get;
};

template <typename T, aErr (SystemClass::*Get)(T *)>
std::function<aErr(SystemClass &, uint32_t *)> as32() {
    return [](SystemClass &s, uint32_t *out) {
        T value{};
        aErr err = (s.*Get)(&value);
        *out = static_cast<uint32_t>(value);
        return err;
    };
}

} // namespace

TEST_F(SystemTest, EveryGetReadsItsOption) {
    const std::vector<Getter> getters = {
        {"router", 2, false, as32<uint8_t, &SystemClass::getRouter>()},
        {"hb_interval", 3, false, as32<uint8_t, &SystemClass::getHBInterval>()},
        {"led", 4, false, as32<uint8_t, &SystemClass::getLED>()},
        {"boot_slot", 6, false, as32<uint8_t, &SystemClass::getBootSlot>()},
        {"version", 7, true, as32<uint32_t, &SystemClass::getVersion>()},
        {"input_voltage", 12, true, as32<uint32_t, &SystemClass::getInputVoltage>()},
        {"hardware_offset", 13, false, as32<uint8_t, &SystemClass::getModuleHardwareOffset>()},
        {"base_address", 14, false, as32<uint8_t, &SystemClass::getModuleBaseAddress>()},
        {"software_offset", 15, false, as32<uint8_t, &SystemClass::getModuleSoftwareOffset>()},
        {"router_setting", 16, false, as32<uint8_t, &SystemClass::getRouterAddressSetting>()},
        {"input_current", 21, true, as32<uint32_t, &SystemClass::getInputCurrent>()},
        {"uptime", 22, true, as32<uint32_t, &SystemClass::getUptime>()},
        {"max_temperature", 23, true, as32<int32_t, &SystemClass::getMaximumTemperature>()},
        {"unregulated_voltage", 25, true, as32<int32_t, &SystemClass::getUnregulatedVoltage>()},
        {"unregulated_current", 26, true, as32<int32_t, &SystemClass::getUnregulatedCurrent>()},
        {"temperature", 27, true, as32<int32_t, &SystemClass::getTemperature>()},
        {"min_temperature", 28, true, as32<int32_t, &SystemClass::getMinimumTemperature>()},
        {"power_source", 29, false, as32<uint8_t, &SystemClass::getInputPowerSource>()},
        {"power_behavior", 30, false, as32<uint8_t, &SystemClass::getInputPowerBehavior>()},
        {"power_limit", 33, true, as32<uint32_t, &SystemClass::getPowerLimit>()},
        {"power_limit_max", 34, true, as32<uint32_t, &SystemClass::getPowerLimitMax>()},
        {"power_limit_state", 35, true, as32<uint32_t, &SystemClass::getPowerLimitState>()},
        {"link_interface", 38, false, as32<uint8_t, &SystemClass::getLinkInterface>()},
        {"hardware_version", 40, true, as32<uint32_t, &SystemClass::getHardwareVersion>()},
        {"errors", 41, true, as32<uint32_t, &SystemClass::getErrors>()},
        {"led_max_brightness", 42, false, as32<uint8_t, &SystemClass::getLEDMaxBrightness>()},
        {"build", 43, true, as32<uint32_t, &SystemClass::getBuild>()},
        {"protocol_features", 45, true, as32<uint32_t, &SystemClass::getProtocolFeatures>()},
    };
    for (const Getter &g : getters) {
        SCOPED_TRACE(g.key);
        // A value that tells options apart, with the top bit set for the 32-bit ones.
        uint32_t value = g.wide ? 0x80000000u | g.option << 16 | g.option : g.option + 0x40u;
        ASSERT_TRUE(peer.ok(std::string("sys-set ") + g.key + " " + std::to_string(value)));
        clearLog();
        uint32_t got = 0;
        ASSERT_EQ(g.get(system, &got), aErrNone);
        std::vector<std::string> log = received(1);
        ASSERT_EQ(log.size(), 1u);
        char request[32];
        snprintf(request, sizeof request, "06 03 03 %02X 20", g.option + 0x40);
        EXPECT_EQ(log[0], request);
        EXPECT_EQ(got, value);
    }
}

TEST_F(SystemTest, IdentityOfTheModule) {
    uint8_t address = 0, model = 0;
    uint32_t serialNumber = 0;
    EXPECT_EQ(system.getModule(&address), aErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 0x13);
    EXPECT_EQ(system.getSerialNumber(&serialNumber), aErrNone);
    EXPECT_EQ(serialNumber, serial);
}

TEST_F(SystemTest, TemperatureBelowZeroIsNegative) {
    ASSERT_TRUE(peer.ok("sys-set temperature -12500"));
    int32_t temperature = 0;
    EXPECT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, -12500);
    ASSERT_TRUE(peer.ok("sys-set min_temperature -1"));
    EXPECT_EQ(system.getMinimumTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, -1);
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);
}

TEST_F(SystemTest, SetsAndCalls) {
    EXPECT_EQ(system.setRouter(0x10), aErrNone);
    EXPECT_EQ(system.setHBInterval(5), aErrNone);
    EXPECT_EQ(system.setLED(1), aErrNone);
    EXPECT_EQ(system.setBootSlot(2), aErrNone);
    EXPECT_EQ(system.setModuleSoftwareOffset(4), aErrNone);
    EXPECT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_EQ(system.setInputPowerBehavior(3), aErrNone);
    EXPECT_EQ(system.setPowerLimitMax(250000), aErrNone);
    EXPECT_EQ(system.setLinkInterface(1), aErrNone);
    EXPECT_EQ(system.setLEDMaxBrightness(200), aErrNone);
    EXPECT_EQ(peer.control("sys-get router"), "OK 16");
    EXPECT_EQ(peer.control("sys-get hb_interval"), "OK 5");
    EXPECT_EQ(peer.control("sys-get boot_slot"), "OK 2");
    EXPECT_EQ(peer.control("sys-get software_offset"), "OK 4");
    EXPECT_EQ(peer.control("sys-get route_to_me"), "OK 1");
    EXPECT_EQ(peer.control("sys-get power_behavior"), "OK 3");
    EXPECT_EQ(peer.control("sys-get power_limit_max"), "OK 250000");
    EXPECT_EQ(peer.control("sys-get link_interface"), "OK 1");
    EXPECT_EQ(peer.control("sys-get led_max_brightness"), "OK 200");
    clearLog();
    EXPECT_EQ(system.save(), aErrNone);
    EXPECT_EQ(system.reset(), aErrNone);
    EXPECT_EQ(system.logEvents(), aErrNone);
    EXPECT_EQ(system.resetDeviceToFactoryDefaults(), aErrNone);
    std::vector<std::string> log = received(4);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "06 03 03 8A 20");
    EXPECT_EQ(log[1], "06 03 03 8B 20");
    EXPECT_EQ(log[2], "06 03 03 98 20");
    EXPECT_EQ(log[3], "06 03 03 A5 20");
    // A read-only option refused by the device.
    ASSERT_TRUE(peer.ok("sys-refuse 11 21"));
    EXPECT_EQ(system.reset(), aErrUnimplemented);
}

TEST_F(SystemTest, NameRoundTripAndShortBuffer) {
    const char *name = "Bench supply, left rack";
    EXPECT_EQ(system.setName(reinterpret_cast<const uint8_t *>(name), strlen(name)), aErrNone);
    uint8_t buffer[32] = {};
    size_t count = 0;
    EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), count), name);
    // A capacity below the name's length: the first bytes and aErrMemory.
    uint8_t small[10] = {};
    EXPECT_EQ(system.getName(small, sizeof small, &count), aErrMemory);
    EXPECT_EQ(count, 0u);
}

TEST_F(SystemTest, SmallBufferKeepsTheFirstBytesOfALongName) {
    ASSERT_TRUE(peer.ok("sys-set name 0123456789abcdefghijklmnopqrstuvwxyz"));
    uint8_t buffer[30] = {};
    size_t count = 0;
    EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrMemory);
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(std::memcmp(buffer, "0123456789abcdefghijklmn", 24), 0);
}

TEST_F(SystemTest, PowerBehaviorConfigIsCountedInValues) {
    const uint32_t values[3] = {0x01020304u, 0xA0B0C0D0u, 7};
    EXPECT_EQ(system.setInputPowerBehaviorConfig(values, 3), aErrNone);
    // Host memory order, without conversion.
    std::string expected = "OK ";
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(values);
    for (size_t i = 0; i < sizeof values; ++i) {
        char part[3];
        snprintf(part, sizeof part, "%02X", bytes[i]);
        expected += part;
    }
    EXPECT_EQ(peer.control("sys-get power_behavior_config"), expected);
    uint32_t back[4] = {};
    size_t count = 0;
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
    // Ten bytes are not a whole number of values.
    ASSERT_TRUE(peer.ok("sys-set power_behavior_config 00010203040506070809"));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrMemory);
    EXPECT_EQ(count, 10u);
}
