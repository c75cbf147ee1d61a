// I2CClass against the router peer's I2C entity: transfer sizes, the wire form of the
// requests, status bytes and reads.
#include <gtest/gtest.h>

#include <cstring>

#include "I2CClass.h"
#include "ObjectsPeer.h"

using namespace objects_test;
using Veltrona::Corvantis::I2CClass;

namespace {

class I2CTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        ASSERT_TRUE(peer.ok("router on"));
        ASSERT_TRUE(peer.ok("router-add 0x50 0x00C0FFEE"));
        i2c.init(module.get(), 0);
        clearLog();
    }
    I2CClass i2c;
};

} // namespace

TEST_F(I2CTest, SpeedIsKeptOnTheHost) {
    uint8_t speed = 9;
    EXPECT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(i2c.setSpeed(2), aErrNone);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    EXPECT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2);
    EXPECT_TRUE(peer.rxLog().empty());
}

TEST_F(I2CTest, TransfersAboveTwentyThreeBytesAreRefusedBeforeSending) {
    uint8_t buffer[24] = {};
    EXPECT_EQ(i2c.read(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.write(0x50, 24, buffer), aErrSize);
    ASSERT_TRUE(peer.ok("i2c-data 0102030405060708090A0B0C0D0E0F1011121314151617"));
    ASSERT_TRUE(i2c.setSpeed(3) == aErrNone);
    EXPECT_EQ(i2c.read(0x50, 23, buffer), aErrNone);
    std::vector<std::string> log = received(1);
    ASSERT_EQ(log.size(), 1u); // the refused transfers sent nothing
    EXPECT_EQ(log[0], "06 05 08 00 51 17 03");
    for (int i = 0; i < 23; ++i)
        EXPECT_EQ(buffer[i], i + 1);
}

TEST_F(I2CTest, ReadCopiesNoMoreThanArrived) {
    ASSERT_TRUE(peer.ok("i2c-data A1A2A3"));
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(i2c.read(0x51, 8, buffer), aErrNone); // bit 0 already set
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[2], 0xA3);
    EXPECT_EQ(buffer[3], 0xEE);
}

TEST_F(I2CTest, WriteAndStatus) {
    const uint8_t data[2] = {0, 0};
    EXPECT_EQ(i2c.write(0x50, 2, data), aErrNone);
    std::vector<std::string> log = received(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "06 07 08 00 50 02 00 00 00");
    // Nothing at 0x52: the bus reports an I/O error (status 0x86).
    EXPECT_EQ(i2c.write(0x52, 2, data), aErrIO);
    ASSERT_TRUE(peer.ok("i2c-status 0x8D"));
    EXPECT_EQ(i2c.write(0x50, 2, data), aErrRange);
    uint8_t buffer[2];
    EXPECT_EQ(i2c.read(0x50, 2, buffer), aErrRange);
    EXPECT_EQ(i2c.setPullup(true), aErrRange);
    ASSERT_TRUE(peer.ok("i2c-status 0x06")); // bit 7 clear: no error
    EXPECT_EQ(i2c.write(0x50, 2, data), aErrNone);
}

TEST_F(I2CTest, PullupAndShortReplies) {
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_EQ(i2c.setPullup(false), aErrNone);
    std::vector<std::string> log = received(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "06 04 08 00 01 01");
    EXPECT_EQ(log[1], "06 04 08 00 01 00");
    // A reply without its status byte.
    ASSERT_TRUE(peer.ok("reply 060408000101 060408000101"));
    EXPECT_EQ(i2c.setPullup(true), aErrPacket);
    // No answer at all.
    ASSERT_TRUE(peer.ok("router off"));
    const uint8_t data[1] = {0};
    EXPECT_EQ(i2c.write(0x50, 1, data), aErrTimeout);
}
