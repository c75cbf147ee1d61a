#include "zBeaconInterface.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>

// Only the setting is changed here; no beacon is created, so nothing is sent.
namespace {

// True if another thread can take the lock within the time; the lock is released again.
bool sLockIsFree() {
    auto taker = std::async(std::launch::async, [] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
    });
    return taker.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
}

struct TextCase {
    const char *text;
    bool accepted;
};

} // namespace

TEST(BeaconInterface, AcceptsAddressesAndTheTwoSettingsOnly) {
    const TextCase cases[] = {
        {"10.77.0.1", true},   {"127.0.0.1", true}, {"", true},       {"*", true},
        {"eth0", false},       {"lo", false},       {"1.2.3", false}, {"256.1.1.1", false},
        {"10.77.0.1 ", false}, {"**", false},       {nullptr, false},
    };
    for (const TextCase &c : cases) {
        zBeaconInterface_setAndLock("");
        zBeaconInterface_unlock();
        bool result = zBeaconInterface_setAndLock(c.text);
        EXPECT_EQ(result, c.accepted) << (c.text ? c.text : "(null)");
        if (result) {
            EXPECT_EQ(std::string(zBeaconInterface_get()), c.text);
            zBeaconInterface_unlock();
        } else {
            EXPECT_EQ(std::string(zBeaconInterface_get()), "");
        }
        EXPECT_TRUE(sLockIsFree()) << (c.text ? c.text : "(null)");
    }
}

TEST(BeaconInterface, HolderKeepsOthersWaiting) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.1"));
    auto taker = std::async(std::launch::async, [] {
        std::string seen = zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
        return seen;
    });
    EXPECT_EQ(taker.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    zBeaconInterface_unlock();
    ASSERT_EQ(taker.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(taker.get(), "10.77.0.1");
}

TEST(BeaconInterface, BackupAndRestore) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("127.0.0.1"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.1"));
    EXPECT_EQ(std::string(zBeaconInterface_get()), "10.77.0.1");
    EXPECT_EQ(std::string(zBeaconInterface_getBackup()), "127.0.0.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(std::string(zBeaconInterface_get()), "127.0.0.1");
    EXPECT_TRUE(sLockIsFree());

    EXPECT_EQ(std::string(zBeaconInterface_getBackupAndLock()), "127.0.0.1");
    zBeaconInterface_unlock();

    // A refused text leaves setting, backup and lock alone.
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock("eth0"));
    EXPECT_EQ(std::string(zBeaconInterface_get()), "127.0.0.1");
    EXPECT_EQ(std::string(zBeaconInterface_getBackup()), "127.0.0.1");
    EXPECT_TRUE(sLockIsFree());

    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
}
