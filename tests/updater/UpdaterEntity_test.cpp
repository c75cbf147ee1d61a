// The upgrade exchange of UpdaterEntity against the module peer's upgrade entity over TCP:
// what goes on the wire for each step, and how refusals, wrong counts and restarts end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "../objects/ObjectsPeer.h"
#include "UpdaterEntity.h"

using namespace objects_test;

namespace {

const uint32_t kAddress = 0x10000000;

class NullDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double fraction, const char *) override { fractions.push_back(fraction); }
    void update_spinner(bool active, const char *) override { spins += active ? 1 : 0; }
    void info_message(const char *) override {}
    void error_message(const char *) override {}
    std::vector<double> fractions;
    int spins = 0;
};

// A block as the BIRD file hands it out: the load address (big-endian), then the content.
std::vector<uint8_t> makeBlock(uint32_t address, size_t contentLength, uint8_t seed = 1) {
    std::vector<uint8_t> block = {uint8_t(address >> 24), uint8_t(address >> 16),
                                  uint8_t(address >> 8), uint8_t(address)};
    for (size_t i = 0; i < contentLength; ++i)
        block.push_back(uint8_t(seed + i * 7));
    return block;
}

std::string hex(const uint8_t *data, size_t length) {
    static const char *digits = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

class UpgradeTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        ASSERT_TRUE(peer.ok("upgrade on"));
        entity.init(module.get(), 0, true, false);
    }

    // The requests the peer's upgrade entity saw since the last clear, as its trace words.
    std::vector<std::string> trace() {
        std::string answer = peer.control("upgrade-trace");
        std::istringstream words(answer);
        std::vector<std::string> out;
        std::string word;
        words >> word; // "OK"
        while (words >> word)
            out.push_back(word);
        return out;
    }
    void clearTrace() { ASSERT_TRUE(peer.ok("upgrade-clear")); }
    std::string value(const std::string &key) {
        std::istringstream words(peer.control("upgrade-status"));
        std::string word;
        while (words >> word)
            if (word.rfind(key + "=", 0) == 0)
                return word.substr(key.size() + 1);
        return "";
    }
    std::string read(const char *memory, uint32_t address, size_t length) {
        std::string answer = peer.control(std::string(memory) + "-read " + std::to_string(address) +
                                          " " + std::to_string(length));
        return answer.size() > 3 ? answer.substr(3) : answer;
    }
    // Prepares the block and returns the block size the device granted.
    uint16_t prepare(const std::vector<uint8_t> &block) {
        uint16_t size = 0;
        EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, size), aErrNone);
        return size;
    }

    UpdaterEntity entity;
    NullDisplay display;
};

using Words = std::vector<std::string>;

TEST_F(UpgradeTest, InitReportsTheLoadBase) {
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_EQ(trace(), Words{"I"});
}

TEST_F(UpgradeTest, InitReplyOfFiveBytesIsAPacketError) {
    // 5F 00 and three base bytes: one short of the base.
    ASSERT_TRUE(peer.ok("reply 06025F00 06055F00100000"));
    EXPECT_EQ(entity.LoaderInit(), aErrPacket);
}

TEST_F(UpgradeTest, LoaderContentOf27BytesGoesAs26And1ThenOneSum) {
    auto block = makeBlock(kAddress, 27);
    prepare(block);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrNone);
    EXPECT_EQ(trace(), (Words{"P10000000", "D26", "D1", "S"}));
    // The application takes the loader into RAM at the load address; the address bytes are
    // never part of the content.
    EXPECT_EQ(read("ram", kAddress, 27), hex(block.data() + 4, 27));
}

TEST_F(UpgradeTest, SumOffByOneIsARefusal) {
    auto block = makeBlock(kAddress, 27);
    prepare(block);
    ASSERT_TRUE(peer.ok("upgrade-corrupt-sum 1"));
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrInvalidOption);
}

TEST_F(UpgradeTest, WithoutSumCheckNoSumIsAsked) {
    entity.init(module.get(), 0, false, false);
    auto block = makeBlock(kAddress, 60);
    prepare(block);
    ASSERT_TRUE(peer.ok("upgrade-corrupt-sum 1"));
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrNone);
    EXPECT_EQ(trace(), (Words{"P10000000", "D26", "D26", "D8"}));
}

TEST_F(UpgradeTest, SmallerCountGetsTheIdenticalPacketAgainAndCountsOnce) {
    auto block = makeBlock(kAddress, 30);
    prepare(block);
    clearLog();
    ASSERT_TRUE(peer.ok("upgrade-short-count 1"));
    uint32_t count = 0;
    // The peer drops the piece it answered wrongly, so its sum only matches when the host
    // counts the resent piece once.
    EXPECT_EQ(entity._block_transfer(block.data() + 4, 30, count), aErrNone);
    EXPECT_EQ(count, 2u);
    std::vector<std::string> sent;
    for (const std::string &line : peer.rxLog())
        if (line.rfind("06 1C 5F 01", 0) == 0 || line.rfind("06 06 5F 01", 0) == 0)
            sent.push_back(line);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_NE(sent[1], sent[2]);
    EXPECT_EQ(value("sum_bad"), "0");
}

TEST_F(UpgradeTest, DeviceThatAlwaysCountsWrongIsGivenUp) {
    auto block = makeBlock(kAddress, 30);
    prepare(block);
    clearTrace();
    ASSERT_TRUE(peer.ok("upgrade-short-count -1"));
    uint32_t count = 0;
    EXPECT_EQ(entity._block_transfer(block.data() + 4, 30, count), aErrPacket);
    Words expected(UpdaterEntity::kDataPieceTries, "D26");
    EXPECT_EQ(trace(), expected); // no second piece, no sum
}

TEST_F(UpgradeTest, NoDataReplyIsAPacketError) {
    auto block = makeBlock(kAddress, 10);
    prepare(block);
    ASSERT_TRUE(peer.ok("upgrade off"));
    uint32_t count = 0;
    EXPECT_EQ(entity._block_transfer(block.data() + 4, 10, count), aErrPacket);
}

TEST_F(UpgradeTest, PrepareStatusOneSendsNoData) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-refuse-prepare 1"));
    auto block = makeBlock(0x4000, 100);
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, size), aErrInvalidOption);
    EXPECT_EQ(trace(), Words{"P4000"});
}

TEST_F(UpgradeTest, PrepareSendsFlagsAndAddressAndReturnsTheBlockSize) {
    ASSERT_TRUE(peer.ok("upgrade-block-size 700"));
    auto block = makeBlock(0x12345678, 4);
    clearLog();
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 5, size), aErrNone);
    EXPECT_EQ(size, 700);
    auto log = received(1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "06 07 5F 03 05 12 34 56 78");
}

TEST_F(UpgradeTest, FirmwareGoesChunkByChunkWithSumAndWrite) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-block-size 40"));
    auto block = makeBlock(0x8000, 100);
    uint16_t size = prepare(block);
    ASSERT_EQ(size, 40);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone);
    EXPECT_EQ(trace(), (Words{"P8000", "D26", "D14", "S", "W40", "D26", "D14", "S", "W40", "D20",
                              "S", "W20"}));
    EXPECT_EQ(read("flash", 0x8000, 100), hex(block.data() + 4, 100));
    // The address bytes count in the length: the first chunk of 40 leaves 60 of 104.
    EXPECT_EQ(display.fractions, (std::vector<double>{44.0 / 104, 84.0 / 104, 1.0}));
}

TEST_F(UpgradeTest, TwoByteWriteReplyIsARefusal) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    auto block = makeBlock(0x8000, 20);
    uint16_t size = prepare(block);
    ASSERT_TRUE(peer.ok("upgrade-short-write 1"));
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display),
              aErrInvalidOption);
    EXPECT_EQ(value("write_bytes"), "0");
}

TEST_F(UpgradeTest, BlockSizeZeroIsRefusedWithoutSendingData) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-block-size 0"));
    auto block = makeBlock(0x8000, 20);
    uint16_t size = prepare(block);
    ASSERT_EQ(size, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display),
              aErrInvalidOption);
    EXPECT_LT(msSince(start), 500);
    EXPECT_EQ(trace(), Words{"P8000"});
}

TEST_F(UpgradeTest, LoadAnsweredAtOnce) {
    ASSERT_TRUE(peer.ok("upgrade-timing 300 200"));
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_EQ(trace(), Words{"L"});
}

TEST_F(UpgradeTest, LateLoadAnswerAfterReconnectionCountsAsSuccess) {
    ASSERT_TRUE(peer.ok("upgrade-load-reply after-reconnect"));
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(value("mode"), "loader");
    EXPECT_EQ(peer.status()["connections"], 2);
}

TEST_F(UpgradeTest, LoadNeverAnsweredIsATimeoutAfterReconnecting) {
    ASSERT_TRUE(peer.ok("upgrade-load-reply never"));
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    // The device came back: the caller may go on with the loader.
    EXPECT_TRUE(module->isConnected());
}

TEST_F(UpgradeTest, DeviceThatRestartsAfterAnsweringLoadIsWaitedFor) {
    // As a module does: the answer, the drop 20 ms later, listening again 200 ms after that.
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.AwaitLoader(UpdaterEntity::kLoaderSettleMs, 3000), aErrNone);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(peer.status()["connections"], 2);
    EXPECT_EQ(value("mode"), "loader");
    // The loader takes a PREPARE at once.
    auto block = makeBlock(0x4000, 10);
    prepare(block);
}

TEST_F(UpgradeTest, DeviceWhoseLinkStaysUpAnswersAtOnce) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.AwaitLoader(0, 3000), aErrNone);
    EXPECT_LT(msSince(start), 500);
    EXPECT_EQ(peer.status()["connections"], 1);
}

TEST_F(UpgradeTest, WaitForADeviceThatDoesNotComeBackIsBounded) {
    ASSERT_TRUE(peer.ok("upgrade-timing 20 5000"));
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(entity.AwaitLoader(100, 700), aErrNone);
    EXPECT_GE(msSince(start), 800);
    EXPECT_LT(msSince(start), 1500);
    EXPECT_FALSE(module->isConnected());
}

TEST_F(UpgradeTest, ThroughARouterOnlyTheSettleTimeIsWaited) {
    entity.init(module.get(), 0, true, true);
    ASSERT_TRUE(peer.ok("upgrade-timing 20 5000"));
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.AwaitLoader(200, 3000), aErrNone);
    EXPECT_GE(msSince(start), 200);
    EXPECT_LT(msSince(start), 600);
    // The link is not touched: here it is the one the restart dropped.
    EXPECT_EQ(peer.status()["connections"], 1);
}

TEST_F(UpgradeTest, UEIDataChunkOf1000BytesIsOneStringAndOneSum) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-uei on"));
    ASSERT_TRUE(peer.ok("upgrade-block-size 1000"));
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_TRUE(entity.ueiData);
    auto block = makeBlock(0x20000, 1000, 3);
    uint16_t size = prepare(block);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone);
    EXPECT_EQ(trace(), (Words{"P20000", "U1000", "S", "W1000"}));
    EXPECT_EQ(value("uei_packets"), "42"); // 24 bytes per packet
    EXPECT_EQ(read("flash", 0x20000, 1000), hex(block.data() + 4, 1000));
}

TEST_F(UpgradeTest, WithoutUEISupportDataPacketsAreUsed) {
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrInvalidOption);
    EXPECT_FALSE(entity.ueiData);
}

TEST_F(UpgradeTest, PooledPacketsWhenTheDeviceAnnouncesThem) {
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-uei on"));
    ASSERT_TRUE(peer.ok("upgrade-pooled on"));
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    auto block = makeBlock(0x20000, 3000, 5);
    uint16_t size = prepare(block);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone);
    EXPECT_EQ(read("flash", 0x20000, 3000), hex(block.data() + 4, 3000));
}

TEST_F(UpgradeTest, ProtocolFeaturesErrorIsReturned) {
    ASSERT_TRUE(peer.ok("sys-refuse 45 29"));
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrInvalidOption);
}

TEST_F(UpgradeTest, RebootWaitsForTheLinkToDrop) {
    ASSERT_TRUE(peer.ok("upgrade-timing 300 200"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_FALSE(module->isConnected());
    EXPECT_GE(msSince(start), 250);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(trace(), Words{"R"});
}

TEST_F(UpgradeTest, RebootThroughARouterWaitsOnePass) {
    entity.init(module.get(), 0, true, true);
    ASSERT_TRUE(peer.ok("upgrade off")); // the link stays up
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_LT(msSince(start), 600);
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(display.spins, 1);
}

TEST_F(UpgradeTest, RebootWaitOfADirectLinkIsBounded) {
    ASSERT_TRUE(peer.ok("upgrade off")); // the link never drops
    entity.rebootWaitMs = 1000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_GE(msSince(start), 1000);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_TRUE(module->isConnected());
}

TEST_F(UpgradeTest, StepsOnAnUnconnectedModuleFailAtOnce) {
    module->disconnect();
    auto block = makeBlock(kAddress, 4);
    uint16_t size = 0;
    EXPECT_EQ(entity.LoaderInit(), aErrConnection);
    EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, size), aErrConnection);
    EXPECT_EQ(entity.FirmwareWrite(4), aErrConnection);
    EXPECT_EQ(entity.LoaderReboot(display), aErrConnection);
}

} // namespace
