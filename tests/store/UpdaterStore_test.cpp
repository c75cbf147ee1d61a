#include "UpdaterStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "BirdTestSupport.h"

using birdtest::LogCapture;
using birdtest::readFile;
using birdtest::runBuilder;
using birdtest::TempDir;
using birdtest::writeFile;
namespace fs = std::filesystem;

namespace {

std::string thrownBy(const std::function<void()> &action) {
    try {
        action();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "(nothing thrown)";
}

class UpdaterStoreTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(UpdaterStoreTest, ConstructionEnsuresTheBaseFolder) {
    std::string base = dir / "home/.veltrona/updater";
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(base);
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_EQ(store.BasePath(), base);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(fs::status(base).permissions() & fs::perms::all, fs::perms(0755 & ~mask));
    UpdaterStore again(base);
    EXPECT_EQ(log.text(), "UpdaterStore: Created directory [" + base + "].\n" + "UpdaterStore: [" +
                              base + "] already exists.\n");
}

TEST_F(UpdaterStoreTest, ConstructionFailures) {
    writeFile(dir / "plain", "x");
    EXPECT_EQ(thrownBy([&] { UpdaterStore store(dir / "plain"); }),
              "UpdaterStore: " + (dir / "plain") + " exists and is a file");
    EXPECT_EQ(thrownBy([&] { UpdaterStore store(dir / "plain/updater"); }),
              "UpdaterStore: Could not create directory " + (dir / "plain/updater") + " error 12");

    UpdaterStore store(dir / "store");
    writeFile(dir / "store/40F5849A", "a file where the device folder belongs");
    EXPECT_EQ(thrownBy([&] { store.AddDevice(0x40F5849A); }),
              "UpdaterStore: " + (dir / "store/40F5849A") + " exists and is a file");
}

TEST_F(UpdaterStoreTest, AddDeviceCreatesFolderAndSettings) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    std::string folder = dir / "40F5849A";
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());

    std::string settings = readFile(folder + "/.settings");
    ASSERT_EQ(std::count(settings.begin(), settings.end(), '\n'), 2) << settings;
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;
    EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
    EXPECT_EQ(item.settings.FileName(), folder + "/.settings");

    // A second add finds what is there and rewrites nothing.
    writeFile(folder + "/.settings", "CREATED_TIME=then\nLATEST_DOWNLOAD=100.bird\n");
    UpdaterStoreItem again = store.AddDevice(0x40F5849A);
    EXPECT_EQ(readFile(folder + "/.settings"), "CREATED_TIME=then\nLATEST_DOWNLOAD=100.bird\n");
    EXPECT_STREQ(again.settings["LATEST_DOWNLOAD"], "100.bird");

    store.AddDevice(0x0000ABCD);
    EXPECT_TRUE(fs::is_directory(dir / "0000ABCD"));
    store.AddDevice(std::string("DEADDEAD"));
    EXPECT_TRUE(fs::is_directory(dir / "DEADDEAD"));
}

TEST_F(UpdaterStoreTest, FindDeviceFillsTheItem) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.type, STORE_ITEM_NONE);
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.name, "");
    EXPECT_EQ(item.type, STORE_ITEM_NONE);

    store.AddDevice(0x0000ABCD);
    store.AddDevice(0x40F5849A);
    writeFile(dir / "40F5849A/.settings", "LATEST_TRANSFER=200.bird\n");

    LogCapture log(DEBUG_Updater);
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_STREQ(item.settings["LATEST_TRANSFER"], "200.bird");
    EXPECT_TRUE(log.has("_find_item([" + (dir / "40F5849A") + "], 1, "));
    EXPECT_TRUE(log.has("searching for 40F5849A\n"));
    EXPECT_TRUE(log.has("UpdaterStore: FindDevice Found 40F5849A.\n"));

    UpdaterStoreItem other;
    ASSERT_TRUE(store.FindDevice(0xABCD, &other));
    EXPECT_EQ(other.name, "0000ABCD");
    EXPECT_TRUE(store.FindDevice(0xABCD, nullptr));
    EXPECT_FALSE(store.FindDevice(0xABCE, nullptr));
    EXPECT_TRUE(log.has("UpdaterStore: FindDevice Not Found 0000ABCE.\n"));
}

// The store's own path holds the serial text, and other entries whose names contain it
// come first: only the entry named exactly by the serial is the device folder.
TEST_F(UpdaterStoreTest, DeviceFolderIsFoundByExactName) {
    std::string base = dir / "40F5849A-backup/updater";
    UpdaterStore store(base);
    store.AddDevice(std::string("0000ABCD"));
    store.AddDevice(std::string("140F5849A"));
    store.AddDevice(std::string("40F5849A0"));
    writeFile(base + "/40F5849A.old", "x");

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
    EXPECT_FALSE(item.IsValid());
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, builds));
    EXPECT_TRUE(builds.empty());

    store.AddDevice(0x40F5849A);
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.basePath, base);

    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    writeFile(base + "/40F5849A/1100.bird", "x");
    EXPECT_FALSE(device.FileExists("100.bird"));
    EXPECT_FALSE(device.FileExists("1100"));
    EXPECT_TRUE(device.FileExists("1100.bird"));
    EXPECT_FALSE(device.FileExists("."));
}

TEST_F(UpdaterStoreTest, FindLocalBuildsListsVisibleEntries) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string folder = dir / "40F5849A";
    writeFile(folder + "/100.bird", "one");
    writeFile(folder + "/200.bird", "two");
    writeFile(folder + "/.hidden", "x");
    fs::create_directory(folder + "/.cache");

    std::vector<UpdaterStoreItem> items(1); // what the caller had stays
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    ASSERT_EQ(items.size(), 3u);
    std::vector<std::string> names = {items[1].name, items[2].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "200.bird"}));
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(items[i].type, STORE_ITEM_FILE);
        EXPECT_EQ(items[i].basePath, folder);
    }
    EXPECT_TRUE(log.has("_find_items([" + folder + "/100.bird], 0, 3)\n"));
    EXPECT_TRUE(log.has("_find_items([" + folder + "/.settings], 0, "));
    // Listing items creates nothing in the folder.
    size_t entries = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
    EXPECT_EQ(entries, 5u);

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x11111111, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFile) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const uint8_t data[] = {'b', 'i', 'r', 'd', 0, 1};

    EXPECT_EQ(device.WriteFile("empty.bird", nullptr, 10), aErrNotFound);
    EXPECT_EQ(device.WriteFile("zero.bird", data, 0), aErrNotFound);
    EXPECT_FALSE(fs::exists(dir / "40F5849A/empty.bird"));
    EXPECT_FALSE(fs::exists(dir / "40F5849A/zero.bird"));

    EXPECT_EQ(device.WriteFile("5.bird", data, sizeof(data)), aErrNone);
    EXPECT_EQ(readFile(dir / "40F5849A/5.bird"), std::string("bird\0\x01", 6));
    EXPECT_EQ(device.WriteFile("5.bird", data, 2), aErrNone); // truncates
    EXPECT_EQ(readFile(dir / "40F5849A/5.bird"), "bi");

    UpdaterStoreItem gone(dir.path(), "NOFOLDER", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("x.bird", data, sizeof(data)), aErrNotFound);
}

TEST_F(UpdaterStoreTest, ReadBirdFile) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string folder = dir / "40F5849A";
    runBuilder(folder, R"(
data = b.make_bird('99528558.bird', build=99528558, firmware=[(0, bytes(100))]).to_bytes()
open('cut.bird', 'wb').write(data[:20])
open('wrong.bird', 'wb').write(b'BIRD' + data[4:])
)");
    BirdFile bird = device.ReadBirdFile("99528558.bird");
    EXPECT_EQ(bird.GetBuild(), 99528558u);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);

    EXPECT_EQ(thrownBy([&] { device.ReadBirdFile("1.bird"); }),
              "Invalid bird " + folder + "/1.bird");
    EXPECT_EQ(thrownBy([&] { device.ReadBirdFile("wrong.bird"); }),
              "Invalid bird " + folder + "/wrong.bird");
    EXPECT_EQ(thrownBy([&] { device.ReadBirdFile("cut.bird"); }), "Failed to load bird data");
}

TEST_F(UpdaterStoreTest, ItemsCopyAllMembers) {
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    device.settings.Add("LATEST_DOWNLOAD", "7.bird");
    UpdaterStoreItem copy(device);
    UpdaterStoreItem assigned;
    assigned = device;
    for (const UpdaterStoreItem *item : {&copy, &assigned}) {
        EXPECT_EQ(item->basePath, device.basePath);
        EXPECT_EQ(item->name, device.name);
        EXPECT_EQ(item->type, STORE_ITEM_DIRECTORY);
        EXPECT_STREQ(item->settings["LATEST_DOWNLOAD"], "7.bird");
    }
}

} // namespace
