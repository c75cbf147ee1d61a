#include "UpdateServerRequest.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerPeer.h"

namespace {

const char *kData = R"({
  "devices": {
    "40F5849A": {"firmware": "CVT-HUB8-A", "latest": "99528558",
                 "builds": {"99528558": "2.12.4", "99500000": "2.10.3"}, "jwt": "aa.bb.cc"},
    "00000001": {"firmware": "F", "latest": "1", "jwt": "aa.bb.cc.dd",
                 "build_lines": ["100;2.0.1", "100;9.9.9", "x", "200", "300;1.2;junk", "  "]},
    "00000002": {"firmware": "F", "latest": "1", "jwt": "a.bb.cc", "build_lines": []},
    "00000003": {"firmware": "F", "latest": "1", "jwt": "aabbcc"},
    "00000004": {"firmware": "F", "latest": "1", "jwt": "aa.bb.c"},
    "00000005": {"firmware": "F", "latest": "1", "jwt": "aa.bb"},
    "00000006": {"firmware": "F", "latest": "1", "jwt": "aa.bb.cc\r"},
    "00000007": {"firmware": "F", "latest": "1", "jwt": "ab"}
  },
  "recovery": {
    "00000001 00000002 00000003 00000004": {"serial": "40f5849a", "build": "0x10"},
    "DEADBEEF 00000000 FFFFFFFF 0000ABCD": {"serial": "0000ABCD", "build": "99528558"}
  }
})";

class UpdateServerRequestTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string> &extra = {}) {
        peer.reset(new UpdateServerPeer(dir, kData, extra));
        ASSERT_GT(peer->port, 0);
        url = peer->URL();
    }
    TempDir dir;
    std::unique_ptr<UpdateServerPeer> peer;
    std::string url;
};

} // namespace

TEST_F(UpdateServerRequestTest, PingSendsHiAndVersion) {
    Start();
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_EQ(peer->Requests(), std::vector<std::string>{"/cgi/u?op=hi&rv=2&"});
}

TEST_F(UpdateServerRequestTest, QueryBuildReturnsBuildAndFirmware) {
    Start();
    std::string build = "old", firmware = "old";
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str()));
    EXPECT_EQ(build, "99528558");
    EXPECT_EQ(firmware, "CVT-HUB8-A");
    EXPECT_EQ(peer->Requests(), std::vector<std::string>{"/cgi/u?op=qu&sn=40F5849A&"});
}

TEST_F(UpdateServerRequestTest, GetBuildSendsKeysInOrderAndReturnsTheBase64Line) {
    Start();
    dir.Write("99528558.bird", std::string("BIRD\0\1\2", 7));
    std::string body = "old";
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "CVT-HUB8-A", "99528558", body,
                                              url.c_str(), false));
    EXPECT_EQ(body, "QklSRAABAg==");
    body = "old";
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "CVT-HUB8-A", "99528558", body,
                                              url.c_str(), true));
    EXPECT_EQ(body, "QklSRAABAg==");
    EXPECT_EQ(peer->Requests(),
              (std::vector<std::string>{
                  "/cgi/u?bld=99528558&fw=CVT-HUB8-A&no_cal=false&op=bird&sn=40F5849A&",
                  "/cgi/u?bld=99528558&fw=CVT-HUB8-A&no_cal=true&op=bird&sn=40F5849A&"}));
}

TEST_F(UpdateServerRequestTest, GetBuildKeepsBodyOnRefusal) {
    Start();
    std::string body = "old";
    // The peer refuses a build it has no file for.
    EXPECT_FALSE(
        UpdateServerRequest::GetBuild(0x40F5849A, "CVT-HUB8-A", "1", body, url.c_str(), false));
    EXPECT_EQ(body, "old");
}

TEST_F(UpdateServerRequestTest, GetBuildListFirstLineForABuildWinsAndShortLinesAreSkipped) {
    Start();
    UpdateServerRequest::BuildMap builds{{"stale", "1.1.1"}};
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
    EXPECT_EQ(builds,
              (UpdateServerRequest::BuildMap{{"100", "2.0.1"}, {"200", ""}, {"300", "1.2"}}));
    EXPECT_EQ(peer->Requests(), std::vector<std::string>{"/cgi/u?op=builds&sn=00000001&"});
}

TEST_F(UpdateServerRequestTest, GetBuildListWithOnlyOkIsAnEmptySuccess) {
    Start();
    UpdateServerRequest::BuildMap builds{{"stale", "1.1.1"}};
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(2, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
}

TEST_F(UpdateServerRequestTest, GetRecoveryInfoSendsTheFingerprintWithEncodedSpaces) {
    Start();
    const uint32_t words[4] = {1, 2, 3, 4};
    unsigned serial = 0, build = 0;
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, serial, build, url.c_str()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 16u); // "0x10", read with automatic base
    const uint32_t other[4] = {0xDEADBEEF, 0, 0xFFFFFFFF, 0xABCD};
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(other, serial, build, url.c_str()));
    EXPECT_EQ(serial, 0xABCDu);
    EXPECT_EQ(build, 99528558u);
    EXPECT_EQ(peer->Requests(),
              (std::vector<std::string>{
                  "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
                  "/cgi/u?brief=true&fp=DEADBEEF%2000000000%20FFFFFFFF%200000ABCD&op=fix&"}));
}

TEST_F(UpdateServerRequestTest, GetDeviceJWTNeedsThreePartsOfTwoCharacters) {
    Start();
    struct Case {
        unsigned serial;
        bool ok;
        const char *token;
    } cases[] = {
        {0x40F5849A, true, "aa.bb.cc"},
        {1, true, "aa.bb.cc.dd"},
        {2, false, "keep"},
        {3, false, "keep"},
        {4, false, "keep"},
        {5, false, "keep"},
        {6, true, "aa.bb.cc"},
        {7, false, "keep"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serial);
        std::string token = "keep";
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(c.serial, token, url.c_str()), c.ok);
        EXPECT_EQ(token, c.token);
    }
    EXPECT_EQ(peer->Requests()[0], "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&");
}

TEST_F(UpdateServerRequestTest, RefusedAnswersFailAndLeaveOutputs) {
    struct Case {
        const char *mode;
        bool ok;
    } cases[] = {{"500", false}, {"404", false}, {"nook", false}, {"empty", false},
                 {"OK", false},  {"okay", true}, {"pieces", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        Start({"--misbehave", std::string("*=") + c.mode});
        std::string build = "b", firmware = "f";
        EXPECT_EQ(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str()), c.ok);
        EXPECT_EQ(build, c.ok ? "99528558" : "b");
        EXPECT_EQ(firmware, c.ok ? "CVT-HUB8-A" : "f");
        EXPECT_EQ(UpdateServerRequest::ping(url.c_str()), c.ok);
        UpdateServerRequest::BuildMap builds{{"stale", "1.1.1"}};
        EXPECT_EQ(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str()), c.ok);
        EXPECT_EQ(builds.size(), c.ok ? 2u : 0u); // cleared even when the request fails
        peer.reset();
    }
}

TEST_F(UpdateServerRequestTest, TransportFailureIsLoggedAndFalse) {
    Start();
    std::string dead = url;
    peer.reset(); // nothing listens there any more
    FILE *log = tmpfile();
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_ServerComm);
    std::string build = "b", firmware = "f";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, dead.c_str()));
    EXPECT_FALSE(UpdateServerRequest::ping(dead.c_str()));
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    EXPECT_EQ(build, "b");
    rewind(log);
    std::string text;
    char line[512];
    while (fgets(line, sizeof(line), log))
        text += line;
    fclose(log);
    EXPECT_NE(text.find("QueryBuild ==> [Couldn't connect to server]\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << text;
}

TEST_F(UpdateServerRequestTest, StatusAndRefusalLogLines) {
    FILE *log = tmpfile();
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_ServerComm);
    Start({"--misbehave", "hi=500", "--misbehave", "qu=nook", "--misbehave", "builds=404"});
    std::string build, firmware;
    UpdateServerRequest::BuildMap builds;
    UpdateServerRequest::ping(url.c_str());
    UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, url.c_str());
    UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str());
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    rewind(log);
    std::string text;
    char line[512];
    while (fgets(line, sizeof(line), log))
        text += line;
    fclose(log);
    EXPECT_NE(text.find("PING ==> [500] [ok\n]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=40F5849A&]\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("GetBuildList ==> [404] [not here\n]\n"), std::string::npos) << text;
}

// --- ordering --------------------------------------------------------------------------

TEST(SortBuildsByVersion, NewestFirst) {
    auto sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}, {"4", "1.2.4"}, {"5", "0.99.99"}});
    EXPECT_EQ(
        sorted,
        (UpdateServerRequest::BuildList{
            {"3", "2.0.0"}, {"2", "1.10.0"}, {"4", "1.2.4"}, {"1", "1.2.3"}, {"5", "0.99.99"}}));
}

TEST(SortBuildsByVersion, EqualVersionsKeepBuildOrderAndPartsCompareAsBytes) {
    auto sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"10", "1.1.0"}, {"11", "1.256.0"}, {"12", "1.1.0"}, {"13", " +1.2.7x"}});
    // 256 counts as 0; leading blanks, a sign and trailing text are the conversion's own rules.
    EXPECT_EQ(sorted,
              (UpdateServerRequest::BuildList{
                  {"13", " +1.2.7x"}, {"10", "1.1.0"}, {"12", "1.1.0"}, {"11", "1.256.0"}}));
}

TEST(SortBuildsByVersion, UnreadableVersionsComeLastInBuildOrder) {
    auto sorted = UpdateServerRequest::SortBuildsByVersion({{"1", "1.2"},
                                                            {"2", "1.0.0"},
                                                            {"3", ""},
                                                            {"4", "1.x.3"},
                                                            {"5", "3.0.0"},
                                                            {"6", "1.2.3.4"},
                                                            {"7", "2.0.0"},
                                                            {"8", ".."}});
    EXPECT_EQ(sorted, (UpdateServerRequest::BuildList{{"5", "3.0.0"},
                                                      {"7", "2.0.0"},
                                                      {"2", "1.0.0"},
                                                      {"1", "1.2"},
                                                      {"3", ""},
                                                      {"4", "1.x.3"},
                                                      {"6", "1.2.3.4"},
                                                      {"8", ".."}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(SplitCorvantisVersion, ThreePiecesOrNothing) {
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("1.2.3"), (V{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("10.x.3-rc"), (V{"10", "x", "3-rc"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion(".."), (V{"", "", ""}));
    EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("1.2").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("1.2.3.4").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion("").empty());
}
