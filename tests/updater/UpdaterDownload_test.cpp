// The download and listing operations of the engine against the update-server peer.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../server/UpdateServerPeer.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

class SpinnerDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool active, const char *label) override {
        spins.push_back(std::string(active ? "on " : "off ") + (label ? label : ""));
        times.push_back(std::chrono::steady_clock::now());
    }
    void info_message(const char *text) override { lines.push_back(text); }
    void error_message(const char *text) override { lines.push_back(std::string("E: ") + text); }

    std::vector<std::string> lines;
    std::vector<std::string> spins;
    std::vector<std::chrono::steady_clock::time_point> times;
};

const char *kData = R"({
  "devices": {
    "40F5849A": {"firmware": "CVT-HUB8-A", "latest": "99528558",
                 "builds": {"99528558": "2.12.4", "99510000": "2.10.3", "x1": "1.0.0"}},
    "0000ABCD": {"firmware": "F", "latest": "nonsense", "builds": {}}
  },
  "recovery": {
    "00000001 00000002 00000003 00000004": {"serial": "40F5849A", "build": "99528558"},
    "00000009 00000009 00000009 00000009": {"serial": "0", "build": "1"}
  }
})";

class UpdaterDownloadTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string> &extra = {}) {
        dir.Write("99528558.bird", std::string(3000, 'L'));
        dir.Write("99510000.bird", std::string(1000, 'M'));
        peer.reset(new UpdateServerPeer(dir, kData, extra));
        ASSERT_GT(peer->port, 0);
        url = peer->URL();
        storage = dir.File("store");
        updater.reset(new Updater(url.c_str(), storage.c_str(), display));
    }
    std::string Stored(const std::string &name) { return ReadFile(storage + "/40F5849A/" + name); }

    TempDir dir;
    std::unique_ptr<UpdateServerPeer> peer;
    std::string url, storage;
    SpinnerDisplay display;
    std::unique_ptr<Updater> updater;
};

} // namespace

TEST_F(UpdaterDownloadTest, BuildTextThatIsNotANumberStopsBeforeAnyRequest) {
    Start();
    for (const char *text : {"12abc", "-1", " 5", "4294967296", "99999999999999999999"}) {
        SCOPED_TRACE(text);
        display.lines.clear();
        EXPECT_EQ(updater->Download_Firmware(0x40F5849A, text, false, false), 0u);
        EXPECT_EQ(display.lines, std::vector<std::string>{std::string("E: Build number '") + text +
                                                          "' must be an number"});
    }
    EXPECT_EQ(updater->Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.lines.back(), "E: Serial Number must be non-zero");
    EXPECT_TRUE(peer->Requests().empty());
}

TEST_F(UpdaterDownloadTest, LargestBuildNumberIsAccepted) {
    Start();
    // 4294967295 is a number; the server does not list it.
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "4294967295", false, false), 0u);
    EXPECT_EQ(display.lines.back(), "E: No valid build 4294967295");
}

TEST_F(UpdaterDownloadTest, SpinnerTurnsEvery100msWhileTheRequestRuns) {
    // About 4000 Base64 characters at 4000 bytes/s: one second of download.
    Start({"--misbehave", "bird=slow", "--rate", "4000"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "", false, false), 99528558u);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(Stored("99528558.bird"), std::string(3000, 'L'));
    ASSERT_GE(display.spins.size(), 3u);
    EXPECT_EQ(display.spins.back(), "off Downloading");
    for (size_t i = 0; i + 1 < display.spins.size(); i++)
        EXPECT_EQ(display.spins[i], "on Downloading");
    // One step per 100 ms of waiting, give or take scheduling.
    size_t steps = display.spins.size() - 1;
    EXPECT_GE(steps, static_cast<size_t>(seconds * 10 * 0.6));
    EXPECT_LE(steps, static_cast<size_t>(seconds * 10) + 2);
    for (size_t i = 1; i + 1 < display.times.size(); i++) {
        auto gap = std::chrono::duration<double>(display.times[i] - display.times[i - 1]).count();
        EXPECT_GE(gap, 0.09);
    }
}

TEST_F(UpdaterDownloadTest, ByFingerprintUsesTheRecoveryAnswer) {
    Start();
    Fingerprint fp;
    fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
    EXPECT_EQ(updater->Download_Firmware(fp, "", false), 99528558u);
    EXPECT_EQ(Stored("99528558.bird"), std::string(3000, 'L'));
    std::vector<std::string> requests = peer->Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0],
              "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
    EXPECT_EQ(requests[4], "/cgi/u?bld=99528558&fw=CVT-HUB8-A&no_cal=false&op=bird&sn=40F5849A&");

    // A chosen build replaces the recovery build; a text that is not a number does not.
    EXPECT_EQ(updater->Download_Firmware(fp, "99510000", false), 99510000u);
    EXPECT_EQ(Stored("99510000.bird"), std::string(1000, 'M'));
    EXPECT_EQ(updater->Download_Firmware(fp, "abc", false), 99528558u);
}

TEST_F(UpdaterDownloadTest, ByFingerprintFailures) {
    Start();
    Fingerprint unknown;
    EXPECT_EQ(updater->Download_Firmware(unknown, "", false), 0u);
    EXPECT_EQ(display.lines.back(),
              "E: Failed to retrieve recovery information from Veltrona update server");
    Fingerprint zero;
    for (auto &w : zero.words)
        w = 9;
    EXPECT_EQ(updater->Download_Firmware(zero, "", false), 0u);
    EXPECT_EQ(display.lines.back(), "E: Serial Number must be non-zero");
}

TEST_F(UpdaterDownloadTest, LatestThatIsNotANumberIsBuildZero) {
    Start();
    EXPECT_EQ(updater->Download_Firmware(0x0000ABCD, "", false, false), 0u);
    EXPECT_EQ(display.lines,
              (std::vector<std::string>{"Retrieving build 0", "Validating build 0 with server",
                                        "E: No valid build 0"}));
}

TEST_F(UpdaterDownloadTest, ValidBuildReadsKeysAsNumbers) {
    Start();
    EXPECT_TRUE(_valid_build(0x40F5849A, 99510000, url.c_str()));
    EXPECT_FALSE(_valid_build(0x40F5849A, 1, url.c_str()));
    EXPECT_FALSE(_valid_build(0x0000ABCD, 1, url.c_str()));
    peer.reset();
    EXPECT_FALSE(_valid_build(0x40F5849A, 99510000, url.c_str()));
}

TEST_F(UpdaterDownloadTest, StoreThatCannotBeMadeIsOneMessage) {
    Start();
    dir.Write("file", "x");
    Updater blocked(url.c_str(), dir.File("file").c_str(), display);
    EXPECT_TRUE(blocked.Get_BuildListLocal(0x40F5849A).empty());
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0], "E: Failed to Create UpdaterStore in: Get_BuildListLocal - "
                                "Exception: UpdaterStore: " +
                                    dir.File("file") + " exists and is a file");
    display.lines.clear();
    EXPECT_EQ(blocked.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_EQ(
        display.lines.back().rfind("E: Failed to Create UpdaterStore in: Download_Firmware", 0),
        0u);
}

TEST_F(UpdaterDownloadTest, LocalListSurvivesABirdThatDoesNotLoad) {
    Start();
    std::string folder = storage + "/40F5849A";
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    // Starts like a BIRD file, but what follows is not a compressed stream.
    std::ofstream(folder + "/5.bird", std::ios::binary) << std::string("bird\x01\x01garbage", 13);
    std::ofstream(folder + "/.hidden") << "x";
    auto builds = updater->Get_BuildListLocal(0x40F5849A);
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"5", ""}}));
}
