// UEI exchanges of EntityClass and Link against the module peer's system entity: the wire
// form of requests, replies and refusals, byte strings with their sequence bytes and waits.
#include <gtest/gtest.h>

#include <cstring>

#include "Entity.h"
#include "ObjectsPeer.h"
#include "SystemClass.h"

using namespace objects_test;
using Veltrona::Corvantis::EntityClass;
using Veltrona::Corvantis::Link;

namespace {

class EntityTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        system.init(module.get(), 0x03, 0);
        clearLog();
    }
    EntityClass system;
};

std::string hexOf(const std::vector<uint8_t> &bytes) {
    std::string out;
    char part[4];
    for (uint8_t b : bytes) {
        snprintf(part, sizeof part, out.empty() ? "%02X" : " %02X", b);
        out += part;
    }
    return out;
}

} // namespace

TEST_F(EntityTest, GetsDecodeEachReplyLength) {
    uint32_t value32 = 0;
    EXPECT_EQ(system.getUEI32(9, &value32), aErrNone); // serial number
    EXPECT_EQ(value32, serial);
    uint8_t value8 = 0;
    EXPECT_EQ(system.getUEI8(1, &value8), aErrNone); // module address
    EXPECT_EQ(value8, 6);
    std::vector<std::string> log = received(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "06 03 03 49 20");
    EXPECT_EQ(log[1], "06 03 03 41 20");

    // A 16-bit reply (option 5 has no value on the device: scripted).
    ASSERT_TRUE(peer.ok("reply 0603034520 0605030500BEEF"));
    uint16_t value16 = 0;
    EXPECT_EQ(system.getUEI16(5, &value16), aErrNone);
    EXPECT_EQ(value16, 0xBEEF);
    // A reply of 6 data bytes matches but carries no value of a known size.
    ASSERT_TRUE(peer.ok("reply 0603034620 0606030600010203"));
    value32 = 0x5A5A;
    EXPECT_EQ(system.getUEI32(6, &value32), aErrNone);
    EXPECT_EQ(value32, 0u);
    // ...and it was taken from the queue: the next exchange gets its own reply.
    EXPECT_EQ(system.getUEI8(1, &value8), aErrNone);
    EXPECT_EQ(value8, 6);
    EXPECT_EQ(system.getUEI32(9, nullptr), aErrParam);
}

TEST_F(EntityTest, SubindexedGetAndSet) {
    ASSERT_TRUE(peer.ok("sys-set uid 0xA0 0xB1 0xC2 0xD3"));
    uint32_t word = 0;
    for (uint8_t j = 0; j < 4; ++j) {
        EXPECT_EQ(system.getUEI32(39, j, &word), aErrNone);
        EXPECT_EQ(word, 0xA0u + 0x11u * j);
    }
    std::vector<std::string> log = received(4);
    ASSERT_GE(log.size(), 1u);
    EXPECT_EQ(log[0], "06 04 03 67 20 00");
    clearLog();
    // Set with a subindex puts it before the value; the device refuses option 39.
    EXPECT_EQ(system.setUEI32(39, 2, 0x01020304u), aErrInvalidOption);
    log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 08 03 A7 20 02 01 02 03 04");
}

TEST_F(EntityTest, SetsSendBigEndianValuesAndWaitForTheAcknowledgment) {
    EXPECT_EQ(system.setUEI8(4, 0x7E), aErrNone);          // LED
    EXPECT_EQ(system.setUEI32(34, 0x11223344u), aErrNone); // power limit
    EXPECT_EQ(system.callUEI(10), aErrNone);               // save
    std::vector<std::string> log = received(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "06 04 03 84 20 7E");
    EXPECT_EQ(log[1], "06 07 03 A2 20 11 22 33 44");
    EXPECT_EQ(log[2], "06 03 03 8A 20");
    EXPECT_EQ(peer.control("sys-get led"), "OK 126");
    EXPECT_EQ(peer.control("sys-get power_limit_max"), "OK 287454020");
    EXPECT_EQ(peer.control("sys-count"), "OK gets=0 resets=0 saves=1 sets=3 stores=0");
    // A set of a 16-bit value (scripted acknowledgment).
    ASSERT_TRUE(peer.ok("reply 0605038520 060303C520"));
    clearLog();
    EXPECT_EQ(system.setUEI16(5, 0xA1B2), aErrNone);
    log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 05 03 85 20 A1 B2");
}

TEST_F(EntityTest, RefusalsReturnTheDevicesCode) {
    ASSERT_TRUE(peer.ok("sys-refuse 4 12"));
    uint8_t value = 0x33;
    EXPECT_EQ(system.getUEI8(4, &value), aErrPermission);
    EXPECT_EQ(value, 0x33); // left alone
    EXPECT_EQ(system.setUEI8(4, 1), aErrPermission);
    // An option the device does not have.
    EXPECT_EQ(system.getUEI8(63, &value), aErrInvalidOption);
    // A refusal whose code reads 0 is still a failure.
    ASSERT_TRUE(peer.ok("reply 0603034820 060403088000"));
    EXPECT_EQ(system.getUEI8(8, &value), aErrUnknown);
}

TEST_F(EntityTest, MissingReplyTimesOut) {
    ASSERT_TRUE(peer.ok("system off"));
    uint32_t value = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(system.getUEI32(9, &value), aErrTimeout);
    EXPECT_GE(msSince(start), 950);
}

TEST_F(EntityTest, BadAddressOrNoModule) {
    module->setModuleAddress(0);
    uint8_t value = 0;
    EXPECT_EQ(system.getUEI8(1, &value), aErrPacket);
    EXPECT_EQ(system.setUEI8(4, 1), aErrPacket);
    size_t count = 0;
    EXPECT_EQ(system.getUEIBytes(32, &value, 1, &count), aErrPacket);
    EXPECT_EQ(system.drainUEI(1), aErrPacket);
    module->setModuleAddress(7);
    EXPECT_EQ(system.callUEI(10), aErrPacket);
    module->setModuleAddress(6);
    // A marker shows that nothing went out before it.
    EXPECT_EQ(system.getUEI8(1, &value), aErrNone);
    std::vector<std::string> log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 03 03 41 20");

    EntityClass unbound;
    EXPECT_EQ(unbound.getUEI8(1, &value), aErrResource);
    EXPECT_EQ(unbound.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(unbound.callUEI(1), aErrResource);
    EXPECT_EQ(unbound.drainUEI(1), aErrResource);
    EXPECT_EQ(unbound.getUEIBytes(1, &value, 1, &count), aErrResource);
    EXPECT_EQ(unbound.saveEntityToStore(), aErrResource);
    uint32_t v32 = 0;
    EXPECT_EQ(unbound.awaitUEI32Val(1, &v32, 0), aErrResource);
    EXPECT_EQ(unbound.sendPacket(1, 0, nullptr), aErrResource);
}

TEST_F(EntityTest, ByteStringOfFiftyBytesGoesOutInThreeSequencedPackets) {
    std::vector<uint8_t> name(50);
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<uint8_t>('A' + i % 26);
    EXPECT_EQ(system.setUEIBytes(32, name.data(), name.size()), aErrNone);
    std::vector<std::string> log = received(3);
    ASSERT_EQ(log.size(), 3u);
    std::vector<uint8_t> first = {0x06, 0x1C, 0x03, 0xA0, 0x20};
    first.insert(first.end(), name.begin(), name.begin() + 24);
    first.push_back(0x80);
    std::vector<uint8_t> second = {0x06, 0x1C, 0x03, 0xA0, 0x20};
    second.insert(second.end(), name.begin() + 24, name.begin() + 48);
    second.push_back(0x81);
    std::vector<uint8_t> third = {0x06, 0x06, 0x03, 0xA0, 0x20, name[48], name[49], 0x02};
    EXPECT_EQ(log[0], hexOf(first));
    EXPECT_EQ(log[1], hexOf(second));
    EXPECT_EQ(log[2], hexOf(third));
    std::string stored = peer.control("sys-get name");
    std::string expected = "OK ";
    for (uint8_t b : name) {
        char part[3];
        snprintf(part, sizeof part, "%02X", b);
        expected += part;
    }
    EXPECT_EQ(stored, expected);

    // Read back in pieces.
    uint8_t buffer[64] = {};
    size_t count = 0;
    EXPECT_EQ(system.getUEIBytes(32, buffer, sizeof buffer, &count), aErrNone);
    ASSERT_EQ(count, 50u);
    EXPECT_EQ(std::memcmp(buffer, name.data(), 50), 0);
}

TEST_F(EntityTest, EmptyByteStringIsOnePacketWithSequenceZero) {
    ASSERT_TRUE(peer.ok("sys-set name Old"));
    EXPECT_EQ(system.setUEIBytes(32, nullptr, 0), aErrNone);
    std::vector<std::string> log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 04 03 A0 20 00");
    EXPECT_EQ(peer.control("sys-get name"), "OK -");
    uint8_t buffer[8];
    size_t count = 99;
    EXPECT_EQ(system.getUEIBytes(32, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(system.getUEIBytes(32, buffer, 0, &count), aErrParam);
    EXPECT_EQ(system.getUEIBytes(32, nullptr, 8, &count), aErrParam);
}

// Byte strings above 1000 bytes get four seconds for their acknowledgment; others one.
TEST_F(EntityTest, LargeByteStringsWaitLongerForTheAcknowledgment) {
    ASSERT_TRUE(peer.ok("sys-ack-delay 1400"));
    std::vector<uint8_t> data(1001, 0x5C);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(system.setUEIBytes(31, data.data(), data.size()), aErrNone);
    EXPECT_GE(msSince(start), 1350);
    // 42 packets: sequence bytes 0x80 .. 0xA8 and a last one of 0x29 with 17 bytes.
    std::vector<std::string> log = received(42);
    ASSERT_EQ(log.size(), 42u);
    EXPECT_EQ(log[40].substr(log[40].size() - 2), "A8");
    EXPECT_EQ(log[41].substr(0, 15), "06 15 03 9F 20 ");
    EXPECT_EQ(log[41].substr(log[41].size() - 2), "29");

    data.resize(1000);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(system.setUEIBytes(31, data.data(), data.size()), aErrTimeout);
    long elapsed = msSince(start);
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 1350);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let the late ack arrive
}

TEST_F(EntityTest, ByteStringReplyOverflowingTheCapacityIsMemory) {
    ASSERT_TRUE(peer.ok("sys-set name ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij"));
    uint8_t buffer[30] = {};
    size_t count = 0;
    EXPECT_EQ(system.getUEIBytes(32, buffer, 30, &count), aErrMemory);
    EXPECT_EQ(count, 24u); // the first piece arrived; the second did not fit
    EXPECT_EQ(std::memcmp(buffer, "ABCDEFGHIJKLMNOPQRSTUVWX", 24), 0);
}

TEST_F(EntityTest, ByteStringPieceOutOfSequenceIsLeftAndTheWaitTimesOut) {
    // Piece 1 arrives where piece 0 is expected: it stays queued and the wait ends.
    ASSERT_TRUE(peer.ok("reply 0603036020 0606032000414281"));
    uint8_t buffer[30];
    size_t count = 0;
    EXPECT_EQ(system.getUEIBytes(32, buffer, sizeof buffer, &count), aErrTimeout);
    EXPECT_EQ(count, 0u);
}

TEST_F(EntityTest, BytesCheck) {
    size_t count = 10;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
    EXPECT_EQ(count, 10u);
    count = 12;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
    const uint8_t data[5] = {3, 0x20, 0, 0x41, 0x85};
    aPacket *packet = aPacket_CreateWithData(6, 5, data);
    EXPECT_EQ(EntityClass::getUEIBytesSequence(packet), 5);
    EXPECT_EQ(EntityClass::getUEIBytesContinue(packet), 1);
    aPacket_Destroy(&packet);
}

TEST_F(EntityTest, EntityStoreCommands) {
    EXPECT_EQ(system.saveEntityToStore(), aErrNone);
    EXPECT_EQ(system.resetEntityToFactoryDefaults(), aErrNone);
    EXPECT_EQ(system.loadEntityFromStore(), aErrNone);
    std::vector<std::string> log = received(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "06 07 5C 80 20 00 00 03 00");
    EXPECT_EQ(log[1], "06 07 5C 81 20 00 00 03 00");
    EXPECT_EQ(log[2], "06 07 5C 82 20 00 00 03 00");
}

TEST_F(EntityTest, AwaitAndDrainUnaskedValues) {
    // Two unasked values of option 27, then one of option 22.
    ASSERT_TRUE(peer.ok("send-packet 0607031B00FFFFFFF6"));
    ASSERT_TRUE(peer.ok("send-packet 0607031B0000000001"));
    ASSERT_TRUE(peer.ok("send-packet 060703160000000102"));
    // Once the last one is here, the two before it are queued too.
    uint32_t value = 0;
    EXPECT_EQ(system.awaitUEI32Val(22, &value, 0), aErrNone);
    EXPECT_EQ(value, 0x102u);
    EXPECT_EQ(system.awaitUEI32Val(27, &value, 12345), aErrNone);
    EXPECT_EQ(value, 0xFFFFFFF6u);
    EXPECT_EQ(system.drainUEI(27), aErrNone);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(system.awaitUEI32Val(27, &value, 0), aErrTimeout);
    EXPECT_GE(msSince(start), 950);
    EXPECT_EQ(system.awaitUEI32Val(22, nullptr, 0), aErrParam);
    // Nothing was sent for any of it.
    EXPECT_TRUE(peer.rxLog().empty());
}

TEST_F(EntityTest, LinkLevelUEIChecks) {
    Link *link = module->getLink();
    uei record{};
    record.module = 6;
    record.command = 3;
    record.option = 0x41;
    record.specifier = 0x20;
    record.type = 3; // no such type
    EXPECT_EQ(link->sendUEI(record), aErrParam);
    record.type = kUEITypeBytes;
    EXPECT_EQ(link->sendUEI(record, 1), aErrParam);
    record.type = kUEITypeNone;
    record.module = 9;
    EXPECT_EQ(link->sendUEI(record), aErrPacket);
    EXPECT_EQ(link->receiveUEI(9, 3, 1, 0, &record), aErrPacket);
    EXPECT_EQ(link->dropMatchingUEIPackets(0, 3, 1, 0), aErrPacket);
    uei stream{};
    EXPECT_EQ(link->getStreamValue(6, 3, 1, 0, 0, &stream), aErrNotFound);
    Link unconnected("Link");
    record.module = 6;
    EXPECT_EQ(unconnected.sendUEI(record), aErrConnection);
    EXPECT_EQ(unconnected.receiveUEI(6, 3, 1, 0, &record), aErrConnection);
    EXPECT_EQ(unconnected.dropMatchingUEIPackets(6, 3, 1, 0), aErrConnection);
}
