// The loader and firmware phases of an update (_transfer_loader, _transfer_firmware) against
// the module peer over TCP: the lines the user sees and what reaches the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../app/RecordingDisplay.h"
#include "../objects/ObjectsPeer.h"
#include "BirdFile.h"
#include "Updater.h"
#include "UpdaterEntity.h"

using namespace objects_test;

namespace {

class TransferTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        char name[] = "/tmp/updtransferXXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        ASSERT_TRUE(peer.ok("upgrade on"));
    }
    void TearDown() override {
        std::system(("rm -rf '" + dir + "'").c_str());
        PeerTest::TearDown();
    }

    // A BIRD file built by the peers' builder: loader and firmware as (address, size) lists.
    BirdFile makeBird(const std::string &loaders, const std::string &firmware) {
        std::string path = dir + "/image.bird";
        std::string script = "import sys; sys.path.insert(0, '" + std::string(PEERS_DIR) +
                             "'); import birdfile as b; "
                             "b.make_bird('" +
                             path +
                             "', build=7, model='AnalogScope', "
                             "loader=[(a, b.synthetic_image(n, a)) for a, n in " +
                             loaders +
                             "], firmware=[(a, b.synthetic_image(n, a + 1)) for a, n in " +
                             firmware + "])";
        std::string command = "python3 -c \"" + script + "\"";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return BirdFile(path);
    }

    std::map<std::string, std::string> status() {
        std::map<std::string, std::string> out;
        std::istringstream words(peer.control("upgrade-status"));
        std::string word;
        while (words >> word) {
            auto eq = word.find('=');
            if (eq != std::string::npos)
                out[word.substr(0, eq)] = word.substr(eq + 1);
        }
        return out;
    }

    std::string dir;
    RecordingDisplay display;
};

TEST_F(TransferTest, LoaderBlocksThenLoad) {
    BirdFile image = makeBird("[(0x10000000, 300), (0x10001000, 30)]", "[]");
    ASSERT_EQ(image.FindBlocks(BirdFile::BLOCK_LOADER).size(), 2u);
    EXPECT_EQ(_transfer_loader(display, *module, image), aErrNone);
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{
                  "Transferring loader to device", "Transferring loader block 1 of 2, 304 bytes",
                  "Transferring loader block 2 of 2, 34 bytes",
                  "Transferred 2 blocks, 338 total bytes", "Starting Load on Device"}));
    EXPECT_EQ(status()["load"], "1");
}

TEST_F(TransferTest, LoaderWithABlockThatFailedIsNotStarted) {
    BirdFile image = makeBird("[(0x10000000, 300), (0x10001000, 30)]", "[]");
    ASSERT_TRUE(peer.ok("upgrade-corrupt-sum 1"));
    EXPECT_EQ(_transfer_loader(display, *module, image), aErrInvalidOption);
    // The block after a failed one shows the same number again.
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{"Transferring loader to device",
                                        "Transferring loader block 1 of 2, 304 bytes",
                                        "Transferring loader block 1 of 2, 34 bytes",
                                        "Transferred 1 blocks, 34 total bytes"}));
    EXPECT_EQ(status()["load"], "0");
}

TEST_F(TransferTest, LoaderInitErrorEndsThePhase) {
    BirdFile image = makeBird("[(0x10000000, 30)]", "[]");
    ASSERT_TRUE(peer.ok("upgrade off"));
    EXPECT_EQ(_transfer_loader(display, *module, image), aErrTimeout);
    EXPECT_TRUE(display.lines.empty());
}

TEST_F(TransferTest, FirmwareGoesToTheLoaderTheDeviceRestartedInto) {
    // The device answers LOAD, drops its link and is back 200 ms later.
    BirdFile image = makeBird("[(0x10000000, 100)]", "[(0x0, 1500)]");
    ASSERT_EQ(_transfer_loader(display, *module, image), aErrNone);
    EXPECT_EQ(_transfer_firmware(display, *module, image, false, false), aErrNone);
    auto texts = display.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string &t) { return t.rfind("  Retry", 0) == 0; }),
              0);
    auto s = status();
    EXPECT_EQ(s["write_bytes"], "1500");
    EXPECT_EQ(s["reboot"], "1");
}

TEST_F(TransferTest, FirstPrepareThatMeetsTheRestartIsAskedAgain) {
    BirdFile image = makeBird("[]", "[(0x0, 100)]");
    // LOAD without the wait of the loader phase: the firmware starts while the device is
    // down for 800 ms.
    ASSERT_TRUE(peer.ok("upgrade-timing 20 800"));
    UpdaterEntity entity;
    entity.init(module.get(), 0, true, false);
    ASSERT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_EQ(_transfer_firmware(display, *module, image, false, false), aErrNone);
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{"Transferring firmware block 1 of 1, 104 bytes",
                                        "Transferring firmware block 1 of 1, 104 bytes",
                                        "  Retry 1", "Transferred 1 blocks, 104 total bytes"}));
    auto s = status();
    EXPECT_EQ(s["write_bytes"], "100");
    EXPECT_EQ(s["mode"], "app"); // rebooted
}

TEST_F(TransferTest, RefusedPrepareEndsTheFirmwareAtOnce) {
    BirdFile image = makeBird("[]", "[(0x0, 100), (0x4000, 100)]");
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-refuse-prepare 1"));
    EXPECT_EQ(_transfer_firmware(display, *module, image, false, false), aErrInvalidOption);
    // A refused PREPARE is not retried, and nothing is rebooted.
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{"Transferring firmware block 1 of 2, 104 bytes",
                                        "Transferred 0 blocks, 0 total bytes"}));
    auto s = status();
    EXPECT_EQ(s["data"], "0");
    EXPECT_EQ(s["reboot"], "0");
}

TEST_F(TransferTest, BlockSizeZeroFailsAfterFiveAttempts) {
    BirdFile image = makeBird("[]", "[(0x0, 100)]");
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    ASSERT_TRUE(peer.ok("upgrade-block-size 0"));
    EXPECT_EQ(_transfer_firmware(display, *module, image, false, false), aErrInvalidOption);
    auto s = status();
    EXPECT_EQ(s["prepare"], "5");
    EXPECT_EQ(s["data"], "0");
    auto texts = display.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "  Retry 4");
    EXPECT_EQ(texts.back(), "Transferred 0 blocks, 0 total bytes");
}

TEST_F(TransferTest, FirmwareThenReboot) {
    BirdFile image = makeBird("[]", "[(0x0, 2000), (0x8000, 10)]");
    ASSERT_TRUE(peer.ok("upgrade-mode loader"));
    EXPECT_EQ(_transfer_firmware(display, *module, image, false, false), aErrNone);
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{"Transferring firmware block 1 of 2, 2004 bytes",
                                        "Transferring firmware block 2 of 2, 14 bytes",
                                        "Transferred 2 blocks, 2018 total bytes"}));
    auto s = status();
    EXPECT_EQ(s["write_bytes"], "2010");
    EXPECT_EQ(s["reboot"], "1");
}

// After LOAD a device that left the USB bus is searched for again: 15 attempts at most, a
// pause after each failed one, a fresh USB context before the 3rd, 6th, 9th, 12th and 15th.
TEST(ReenumerateUsb, AttemptsRenewalsAndPauses) {
    struct Case {
        unsigned backAt; // attempt at which the device is found; 0 = never
        unsigned attempts, renewals, pauses, result;
    };
    const Case cases[] = {
        {1, 1, 0, 0, 1}, {2, 2, 0, 1, 2},     {3, 3, 1, 2, 3},     {4, 4, 1, 3, 4},
        {6, 6, 2, 5, 6}, {14, 14, 4, 13, 14}, {15, 15, 5, 14, 15}, {0, 15, 5, 15, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("device back at attempt " + std::to_string(c.backAt));
        std::vector<std::string> events;
        unsigned attempts = 0;
        unsigned got = _reenumerate_usb(
            [&] {
                ++attempts;
                events.push_back("connect");
                return attempts == c.backAt;
            },
            [&] { events.push_back("renew"); }, [&] { events.push_back("pause"); });
        EXPECT_EQ(got, c.result);
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(std::count(events.begin(), events.end(), "renew"), (long)c.renewals);
        EXPECT_EQ(std::count(events.begin(), events.end(), "pause"), (long)c.pauses);
        // The context is renewed right before every third attempt.
        unsigned seen = 0;
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i] != "connect")
                continue;
            ++seen;
            bool renewed = i > 0 && events[i - 1] == "renew";
            EXPECT_EQ(renewed, seen % 3 == 0) << "attempt " << seen;
        }
    }
}

} // namespace
