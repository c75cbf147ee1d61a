// Link engine against the module peer (TCP and a COBS-framed pseudo-terminal) and against a
// scripted in-process stream where exact byte timing matters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ModulePeerProcess.h"
#include "aDebug.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const uint8_t kModule = 6;

uint32_t sNextSerial() {
    static std::atomic<uint32_t> next{0x4C000001};
    return next++;
}

long sMsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool sWaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string sHex(const Bytes& bytes) {
    std::string text;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        text += b;
    }
    return text;
}

bool sPut(aLinkRef link, uint8_t address, const Bytes& data) {
    aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    if (p == nullptr)
        return false;
    aErr err = aLink_PutPacket(link, p);
    aPacket_Destroy(&p);
    return err == aErrNone;
}

struct Match {
    Bytes prefix; // data bytes the packet must start with
};

bool sMatchData(const aPacket* p, void* reference) {
    const Match* m = static_cast<const Match*>(reference);
    if (p->dataSize < m->prefix.size())
        return false;
    return std::equal(m->prefix.begin(), m->prefix.end(), p->data);
}

// Sends an echo-test packet (0x17, tag...) and waits for the peer's echo of it.
bool sEcho(aLinkRef link, uint8_t tag, int timeoutMs = 1000) {
    Bytes data = {0x17, tag, 0x5A, static_cast<uint8_t>(~tag)};
    if (!sPut(link, kModule, data))
        return false;
    Match match{data};
    aPacket* p = aLink_AwaitFirst(link, sMatchData, &match, timeoutMs);
    bool ok = p != nullptr && p->address == kModule && p->dataSize == data.size();
    aPacket_Destroy(&p);
    return ok;
}

// Keeps sending echo tests until one comes back (for links that are recovering).
bool sEchoWithin(aLinkRef link, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t tag = 0x80;
    while (Clock::now() < deadline) {
        if (aLink_GetStatus(link) == kLinkStatusRunning && sEcho(link, tag++, 200))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

size_t sCount(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// ---------------------------------------------------------------------------------------------
// A stream fed from the test: bytes pushed by the test are what the link reads; every write
// is recorded. With answerSync set it answers each sync packet as a module would.

class ScriptedStream {
public:
    aStream* make() { return aStream_Create(sGet, sPut, sWrite, sDelete, this); }

    void push(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_in.insert(m_in.end(), bytes.begin(), bytes.end());
    }
    bool drained() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_in.empty();
    }
    // Number of written packets equal to image.
    size_t written(const Bytes& image) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count(m_packets.begin(), m_packets.end(), image));
    }
    std::vector<Bytes> packets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets;
    }

    std::atomic<bool> answerSync{false};
    std::atomic<bool> deleted{false};

private:
    static aErr sGet(uint8_t* byte, void* ref) {
        ScriptedStream* s = static_cast<ScriptedStream*>(ref);
        std::lock_guard<std::mutex> lock(s->m_mutex);
        if (s->m_in.empty())
            return aErrNotReady;
        *byte = s->m_in.front();
        s->m_in.pop_front();
        return aErrNone;
    }
    static aErr sWrite(const uint8_t* bytes, size_t length, void* ref) {
        ScriptedStream* s = static_cast<ScriptedStream*>(ref);
        std::lock_guard<std::mutex> lock(s->m_mutex);
        size_t i = 0;
        while (i + 2 <= length) {
            size_t n = 2u + bytes[i + 1];
            Bytes image(bytes + i, bytes + std::min(length, i + n));
            s->m_packets.push_back(image);
            if (s->answerSync && image == Bytes{0xAD, 0x00}) {
                s->m_in.push_back(kModule);
                s->m_in.push_back(0x00);
            }
            i += n;
        }
        return aErrNone;
    }
    static aErr sPut(uint8_t byte, void* ref) { return sWrite(&byte, 1, ref); }
    static aErr sDelete(void* ref) {
        static_cast<ScriptedStream*>(ref)->deleted = true;
        return aErrNone;
    }

    std::mutex m_mutex;
    std::deque<uint8_t> m_in;
    std::vector<Bytes> m_packets;
};

class ScriptedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        aStream* stream = script.make();
        ASSERT_NE(stream, nullptr);
        link = aLink_Create(&stream);
        ASSERT_NE(link, 0u);
        EXPECT_EQ(stream, nullptr);
        ASSERT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    }
    void TearDown() override {
        if (link != 0)
            aLink_Destroy(&link);
    }

    // An odd address byte while running is loss of framing: the handshake starts.
    void loseFraming() {
        script.push({0x07});
        ASSERT_TRUE(sWaitUntil([&] { return script.written(kSync) == 6; }, 1000));
        ASSERT_EQ(aLink_GetStatus(link), kLinkStatusSyncing);
    }

    const Bytes kSync = {0xAD, 0x00};
    ScriptedStream script;
    aLinkRef link = 0;
};

TEST_F(ScriptedLinkTest, StartQueuesRouteControlOnAndStopRouteControlOff) {
    ASSERT_TRUE(sWaitUntil([&] { return script.written({0xAF, 0x01, 0x01}) == 1; }, 1000));
    aLink_Destroy(&link);
    EXPECT_EQ(script.written({0xAF, 0x01, 0x00}), 1u);
    EXPECT_TRUE(script.deleted);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusNoStream);
}

struct HandshakeCase {
    const char* name;
    Bytes answer;       // bytes the module sends after the handshake started
    uint8_t status;     // link status afterwards
    size_t syncPackets; // sync packets written in all
};

class HandshakeTest : public ScriptedLinkTest,
                      public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(HandshakeTest, FollowsTheByteSequence) {
    const HandshakeCase& c = GetParam();
    loseFraming();
    script.push(c.answer);
    ASSERT_TRUE(sWaitUntil([&] { return script.drained(); }, 1000));
    sWaitUntil(
        [&] { return aLink_GetStatus(link) == c.status && script.written(kSync) == c.syncPackets; },
        300);
    EXPECT_EQ(aLink_GetStatus(link), c.status) << c.name;
    EXPECT_EQ(script.written(kSync), c.syncPackets) << c.name;

    // Whatever happened, a proper answer completes the handshake, and a packet that follows
    // is framed correctly and reaches the readers.
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    ASSERT_TRUE(entry);
    if (entry->record.syncState == kSyncStateStart)
        script.push({0x06}); // any byte starts the handshake again
    if (c.status != kLinkStatusRunning) {
        ASSERT_TRUE(sWaitUntil([&] { return entry->record.syncState == kSyncStateByte1; }, 1000));
        script.push({0x06, 0x00, 0x06, 0x00});
    }
    ASSERT_TRUE(sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusRunning; }, 1000));
    script.push({0x06, 0x01, 0x42});
    aPacket* p = aLink_AwaitPacket(link, 1000);
    ASSERT_NE(p, nullptr) << c.name;
    EXPECT_EQ(p->address, 0x06);
    ASSERT_EQ(p->dataSize, 1);
    EXPECT_EQ(p->data[0], 0x42);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, HandshakeTest,
    ::testing::Values(
        HandshakeCase{"complete", {0x06, 0x00, 0x06, 0x00}, kLinkStatusRunning, 6},
        // A wrong third byte returns to the start state; the next byte restarts the handshake.
        HandshakeCase{"wrong third byte", {0x06, 0x00, 0x08}, kLinkStatusSyncing, 6},
        HandshakeCase{
            "wrong third byte, next byte", {0x06, 0x00, 0x08, 0x06}, kLinkStatusSyncing, 12},
        HandshakeCase{"zero address", {0x00}, kLinkStatusSyncing, 12},
        HandshakeCase{"odd address", {0x07}, kLinkStatusSyncing, 12},
        HandshakeCase{"nonzero second byte, next byte", {0x06, 0x05, 0x01}, kLinkStatusSyncing, 12},
        HandshakeCase{"nonzero fourth byte, next byte",
                      {0x06, 0x00, 0x06, 0x01, 0x06},
                      kLinkStatusSyncing,
                      12}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

// Captures what the library prints on the standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        m_file = tmpfile();
        m_saved = dup(1);
        dup2(fileno(m_file), 1);
    }
    ~StdoutCapture() { text(); }
    // Restores the standard output (once) and returns everything printed meanwhile.
    std::string text() {
        if (m_saved >= 0) {
            fflush(stdout);
            dup2(m_saved, 1);
            close(m_saved);
            m_saved = -1;
            rewind(m_file);
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, m_file)) > 0)
                m_text.append(buffer, n);
            fclose(m_file);
        }
        return m_text;
    }

private:
    FILE* m_file = nullptr;
    int m_saved = -1;
    std::string m_text;
};

TEST_F(ScriptedLinkTest, TraceLinesOfTheHandshakeAndHeartbeats) {
    std::string text;
    {
        StdoutCapture capture;
        aCorvantisDebuggingEnable = 1;
        aCorvantisDebuggingLevel = aDEBUG_LINK | aDEBUG_PACKETS;
        script.push({0x07});
        sWaitUntil([&] { return script.written(kSync) == 6; }, 1000);
        script.push({0x06, 0x00, 0x06, 0x00});
        sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusRunning; }, 1000);
        script.push({0x06, 0x02, 0x00, 0x00, 0x06, 0x02, 0x00, 0x01, 0x06, 0x01, 0x42});
        aPacket* p = aLink_AwaitPacket(link, 1000);
        aPacket_Destroy(&p);
        sWaitUntil([&] { return script.written({0x06, 0x02, 0x00, 0x03}) == 1; }, 1000);
        aCorvantisDebuggingEnable = 0;
        aCorvantisDebuggingLevel = 0;
        text = capture.text();
    }
    const std::string id = std::to_string(link);
    const std::string expected = "Out of sync\nsyncStart\nsByte 6\nsync2\nsByte 0\nsync3\nsByte 6\n"
                                 "sync4\nsByte 0\nsynced\n"
                                 " sHandleHBBackChannel(" +
                                 id +
                                 ") ==> received HB packet [data size = 2][0,0]\n"
                                 " sHandleHBBackChannel(" +
                                 id + ") sending HB UP\n" + " sHandleHBBackChannel(" + id +
                                 ") ==> received HB packet [data size = 2][0,1]\n"
                                 " sHandleHBBackChannel(" +
                                 id + ") sending HB DOWN\n" + " sHandlePacket(" + id +
                                 ") ADDR:06, LEN:01, [42 00 00 ...]\n";
    // The send thread's lines for the packets it writes interleave; take the receive side's.
    std::string received;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start + 1);
        if (line.find("sOutPipeProcess") == std::string::npos)
            received += line;
        start = end == std::string::npos ? text.size() : end + 1;
    }
    EXPECT_EQ(received, expected);
    EXPECT_NE(text.find(" sOutPipeProcess(" + id + ") ADDR:06, LEN:02, [00 02 00 ...]\n"),
              std::string::npos)
        << text;
}

TEST_F(ScriptedLinkTest, UnansweredHandshakeIsRepeatedAtASteadyPace) {
    loseFraming();
    // Empty reads come back at once on this stream; the handshake must not restart on each.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(script.written(kSync), 6u);
    ASSERT_TRUE(sWaitUntil([&] { return script.written(kSync) >= 12; }, 1000));
    EXPECT_LE(script.written(kSync), 18u);
}

// The first wrong answer restarts the handshake at once; further ones wait for the next
// round, and a module that answers properly then is synced with.
TEST_F(ScriptedLinkTest, RepeatedWrongAnswersRestartTheHandshakeAtASteadyPace) {
    loseFraming();
    script.push({0x00});
    ASSERT_TRUE(sWaitUntil([&] { return script.written(kSync) == 12; }, 300));
    script.push({0x00, 0x00, 0x00, 0x07, 0x00});
    ASSERT_TRUE(sWaitUntil([&] { return script.drained(); }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(script.written(kSync), 12u);
    ASSERT_TRUE(sWaitUntil([&] { return script.written(kSync) == 18; }, 1000));
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    ASSERT_TRUE(entry);
    ASSERT_TRUE(sWaitUntil([&] { return entry->record.syncState == kSyncStateByte1; }, 1000));
    script.push({0x06, 0x00, 0x06, 0x00, 0x06, 0x01, 0x42});
    aPacket* p = aLink_AwaitPacket(link, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x06);
    EXPECT_EQ(p->dataSize, 1);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_EQ(script.written(kSync), 18u);
}

TEST_F(ScriptedLinkTest, AwaitFirstOnASyncingLinkReturnsAtOnce) {
    loseFraming();
    Match any{{}};
    const auto start = Clock::now();
    aPacket* p = aLink_AwaitFirst(link, sMatchData, &any, 1000);
    EXPECT_EQ(p, nullptr);
    EXPECT_LT(sMsSince(start), 100);
}

TEST_F(ScriptedLinkTest, ForcedSyncDrainsTheAnswersMeantForTheHandshake) {
    script.answerSync = true;
    ASSERT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_EQ(script.written(kSync), 6u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    // Four of the six answers are left over after the handshake; none reaches a reader.
    aPacket* p = aLink_AwaitPacket(link, 100);
    EXPECT_EQ(p, nullptr);
    aPacket_Destroy(&p);
}

TEST_F(ScriptedLinkTest, ModuleAddressQuery) {
    script.answerSync = true;
    uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(link, &address), aErrNone);
    EXPECT_EQ(address, kModule);
    script.answerSync = false;
    EXPECT_EQ(_aLink_GetModuleAddress(link, &address), aErrTimeout);
    EXPECT_EQ(address, 0);
}

TEST(LinkTable, UnknownIdentifiers) {
    EXPECT_EQ(aLink_GetStatus(0x7FFFFFF0u), kLinkStatusNoStream);
    aLinkRef none = 0x7FFFFFF0u;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Start(0x7FFFFFF0u), aErrParam);
    EXPECT_EQ(aLink_Sync(0x7FFFFFF0u), aErrParam);
    EXPECT_EQ(aLink_Reset(0x7FFFFFF0u), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(0x7FFFFFF0u, 1), aErrNotFound);
    EXPECT_EQ(aLink_EnablePooledPackets(0x7FFFFFF0u, true), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(0x7FFFFFF0u, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_DrainPackets(0x7FFFFFF0u, sMatchData, nullptr), 0u);
    EXPECT_EQ(aLink_GetPacket(0x7FFFFFF0u), nullptr);
    EXPECT_EQ(aLink_CreateClient(0, 0, 0x7FFFFFF0u), 0u);
}

TEST(LinkTable, RefusedSerialRateLeavesNoEntry) {
    const size_t before = aLinkManager_Count();
    EXPECT_EQ(aLink_CreateSerial(sNextSerial(), "/dev/null", 12345), 0u);
    EXPECT_EQ(aLinkManager_Count(), before);
    EXPECT_EQ(aLink_CreateSerial(sNextSerial(), "/nonexistent/tty", 115200), 0u);
    EXPECT_EQ(aLinkManager_Count(), before);
}

TEST(LinkTable, RefusedConnectionLeavesNoEntry) {
    // A port nobody listens on: bind one, read its number, close it again.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    close(s);
    const size_t before = aLinkManager_Count();
    EXPECT_EQ(aLink_CreateTCPIP(sNextSerial(), htonl(INADDR_LOOPBACK), ntohs(addr.sin_port)), 0u);
    EXPECT_EQ(aLinkManager_Count(), before);
}

// ---------------------------------------------------------------------------------------------
// Against the module peer, over TCP and over a pseudo-terminal.

enum class Transport { TCP, PTY };

class LinkPeerTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        ModulePeerProcess::Options options;
        options.tcp = GetParam() == Transport::TCP;
        options.pty = GetParam() == Transport::PTY;
        options.echo = true;
        options.address = kModule;
        serial = sNextSerial();
        options.serial = serial;
        ASSERT_TRUE(peer.start(options));
    }
    void TearDown() override {
        if (link != 0)
            aLink_Destroy(&link);
        peer.stop();
    }
    aLinkRef connect() {
        if (GetParam() == Transport::TCP)
            return aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
        return aLink_CreateSerial(serial, peer.ptyPath.c_str(), 115200);
    }

    ModulePeerProcess peer;
    uint32_t serial = 0;
    aLinkRef link = 0;
};

TEST_P(LinkPeerTest, ReachesRunningAndExchangesPackets) {
    link = connect();
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_TRUE(sEcho(link, 1));
    ASSERT_TRUE(peer.ok("wait-rx 2 1000"));
    auto log = peer.rxLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "AF 01 01"); // route control on, first thing on the wire
    EXPECT_EQ(log[1], "06 04 17 01 5A FE");
    aLink_Destroy(&link);
    ASSERT_TRUE(peer.ok("wait-rx 3 1000"));
    EXPECT_EQ(peer.rxLog().back(), "AF 01 00"); // and route control off, last
}

TEST_P(LinkPeerTest, ForcedSyncSendsSyncPacketsAndRuns) {
    link = connect();
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(peer.ok("wait-rx 1 1000")); // route control
    ASSERT_TRUE(peer.ok("log-clear"));
    ASSERT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    auto log = peer.rxLog();
    // The handshake completes on the second answer; later sync packets may have been dropped
    // from the send queue before they left.
    EXPECT_GE(sCount(log, "AD 00"), 2u);
    EXPECT_LE(sCount(log, "AD 00"), 6u);
    EXPECT_EQ(sCount(log, "AD 00"), log.size()) << "only sync packets: " << log.size();
    // The leftover answers (empty packets) never reach a reader.
    EXPECT_TRUE(sEcho(link, 2));
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
}

TEST_P(LinkPeerTest, HeartbeatsAreAnsweredAndNeverReachReaders) {
    link = connect();
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 9)); // the peer has taken the connection
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(peer.ok("heartbeat-now " + std::to_string(i & 1)));
    ASSERT_TRUE(sWaitUntil([&] { return peer.status()["hb_ok"] == 4; }, 2000));
    auto st = peer.status();
    EXPECT_EQ(st["hb_bad"], 0);
    EXPECT_EQ(st["hb_open"], 0);
    auto log = peer.rxLog();
    EXPECT_EQ(sCount(log, "06 02 00 02"), 2u);
    EXPECT_EQ(sCount(log, "06 02 00 03"), 2u);
    aPacket* p = aLink_AwaitPacket(link, 100);
    EXPECT_EQ(p, nullptr);
    aPacket_Destroy(&p);
}

struct TakeAll {
    std::atomic<int> seen{0};
    std::atomic<int> heartbeats{0};
};

bool sTakeAll(const aPacket* p, void* reference) {
    TakeAll* t = static_cast<TakeAll*>(reference);
    t->seen++;
    if (p->dataSize == 2 && p->data[0] == 0)
        t->heartbeats++;
    return true;
}

TEST_P(LinkPeerTest, UserFilterThatTakesEverything) {
    link = connect();
    ASSERT_NE(link, 0u);
    TakeAll taken;
    ASSERT_EQ(aLink_InstallUserPacketFilter(link, sTakeAll, &taken), aErrNone);
    for (uint8_t i = 0; i < 5; ++i)
        ASSERT_TRUE(sPut(link, kModule, {0x17, i}));
    ASSERT_TRUE(sWaitUntil([&] { return taken.seen == 5; }, 2000)) << taken.seen;
    ASSERT_TRUE(peer.ok("heartbeat-now 0"));
    ASSERT_TRUE(sWaitUntil([&] { return taken.seen == 6; }, 2000)) << taken.seen;
    EXPECT_EQ(taken.heartbeats, 1);
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
    // The filter saw the heartbeat first, so nobody answered it.
    auto st = peer.status();
    EXPECT_EQ(st["hb_ok"], 0);
    EXPECT_EQ(st["hb_open"], 1);

    ASSERT_EQ(aLink_InstallUserPacketFilter(link, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(sEcho(link, 3));
    ASSERT_TRUE(peer.ok("heartbeat-now 0"));
    ASSERT_TRUE(sWaitUntil([&] { return peer.status()["hb_ok"] == 1; }, 2000));
    EXPECT_EQ(taken.seen, 6);
}

TEST_P(LinkPeerTest, TwoCreatesShareOneLink) {
    link = connect();
    ASSERT_NE(link, 0u);
    aLinkRef second = connect();
    EXPECT_EQ(second, link);
    const size_t entries = aLinkManager_Count();
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLinkManager_Count(), entries);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_TRUE(sEcho(link, 4));
    aLinkRef last = link;
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(aLinkManager_Count(), entries - 1);
    EXPECT_EQ(aLink_GetStatus(last), kLinkStatusNoStream);
    ASSERT_TRUE(peer.ok("wait-rx 3 1000"));
    EXPECT_EQ(peer.rxLog().back(), "AF 01 00");
}

TEST_P(LinkPeerTest, StoppingALinkWhosePeerWentSilent) {
    link = connect();
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 10)); // the peer has taken the connection
    ASSERT_TRUE(peer.ok("silent on"));
    // Lose framing: the link starts a handshake that nobody answers.
    if (GetParam() == Transport::TCP)
        ASSERT_TRUE(peer.ok("send 07"));
    else
        ASSERT_TRUE(peer.ok("send-packet 07 00"));
    ASSERT_TRUE(sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusSyncing; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_LT(sMsSince(start), 1200);
}

TEST_P(LinkPeerTest, ModuleAddressAndModelQueries) {
    link = connect();
    ASSERT_NE(link, 0u);
    uint8_t address = 0;
    ASSERT_EQ(_aLink_GetModuleAddress(link, &address), aErrNone);
    EXPECT_EQ(address, kModule);
    ASSERT_TRUE(peer.ok("reply 0603034820 060403080013"));
    uint8_t model = 0;
    EXPECT_EQ(_aLink_GetModel(link, address, &model), aErrNone);
    EXPECT_EQ(model, 0x13);
    ASSERT_TRUE(peer.ok("reply-clear"));
    ASSERT_TRUE(peer.ok("reply 0603034820 06021701"));
    EXPECT_EQ(_aLink_GetModel(link, address, &model), aErrIO);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkPeerTest,
                         ::testing::Values(Transport::TCP, Transport::PTY),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::TCP ? "TCP" : "PTY";
                         });

// ---------------------------------------------------------------------------------------------
// Serial line specifics: framing faults on the wire.

const char* const kSerialFaults[][2] = {
    {"bad_crc", "send-bad-crc 06 02 17 01"}, // a frame with a wrong CRC-8
    {"odd_address", "send-packet 07 01 00"}, // a good frame, but an odd address
    {"malformed", "send 07 03 01 00 55 00"}, // COBS codes that point past the frame
    {"wrong_length", "send 0B 06 09 17 01 02 03 04 05 06 07 00"},
    {"overlong", "send 2828282828282828282828282828282828282828"
                 "2828282828282828282828282828282828282828 00"},
};

class SerialFaultTest : public ::testing::TestWithParam<size_t> {};

TEST_P(SerialFaultTest, LinkRecoversFromBrokenFraming) {
    const char* command = kSerialFaults[GetParam()][1];
    ModulePeerProcess peer;
    ModulePeerProcess::Options options;
    options.tcp = false;
    options.pty = true;
    options.echo = true;
    options.serial = sNextSerial();
    ASSERT_TRUE(peer.start(options));
    aLinkRef link = aLink_CreateSerial(options.serial, peer.ptyPath.c_str(), 230400);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 5));
    ASSERT_TRUE(peer.ok(command)) << command;
    // The fault is noticed (the link starts a handshake), then the link runs again.
    EXPECT_TRUE(sWaitUntil([&] { return peer.status()["sync"] >= 2; }, 2000)) << command;
    EXPECT_TRUE(sEchoWithin(link, 3000)) << command;
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    aLink_Destroy(&link);
}

INSTANTIATE_TEST_SUITE_P(Faults, SerialFaultTest,
                         ::testing::Range<size_t>(0,
                                                  sizeof kSerialFaults / sizeof kSerialFaults[0]),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(kSerialFaults[info.param][0]);
                         });

// ---------------------------------------------------------------------------------------------
// TCP specifics.

// A stream in front of the socket stream that records the size of every write and can hold
// a write until released.
class RecordingStream {
public:
    explicit RecordingStream(aStream* inner) : m_inner(inner) {}
    aStream* make() { return aStream_Create(sGet, nullptr, sWrite, sDelete, this); }

    void hold(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = on;
        m_cv.notify_all();
    }
    bool waitHeld(int ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_held; });
    }
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sizes;
    }

private:
    static aErr sGet(uint8_t* byte, void* ref) {
        return aStream_Read(static_cast<RecordingStream*>(ref)->m_inner, byte, 1);
    }
    static aErr sWrite(const uint8_t* bytes, size_t length, void* ref) {
        RecordingStream* s = static_cast<RecordingStream*>(ref);
        {
            std::unique_lock<std::mutex> lock(s->m_mutex);
            s->m_sizes.push_back(length);
            s->m_held = s->m_hold;
            s->m_cv.notify_all();
            s->m_cv.wait(lock, [&] { return !s->m_hold; });
            s->m_held = false;
        }
        return aStream_Write(s->m_inner, bytes, length);
    }
    static aErr sDelete(void* ref) {
        return aStream_Destroy(&static_cast<RecordingStream*>(ref)->m_inner);
    }

    aStream* m_inner;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_hold = false;
    bool m_held = false;
    std::vector<size_t> m_sizes;
};

class LinkTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ModulePeerProcess::Options options;
        options.echo = true;
        serial = sNextSerial();
        options.serial = serial;
        ASSERT_TRUE(peer.start(options));
    }
    void TearDown() override {
        if (link != 0)
            aLink_Destroy(&link);
        peer.stop();
    }
    ModulePeerProcess peer;
    uint32_t serial = 0;
    std::unique_ptr<RecordingStream> recorder; // outlives the link that uses it
    aLinkRef link = 0;
};

class DropTest : public LinkTcpTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DropTest, LinkRunsAgainAfterThePeerComesBack) {
    link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 6));
    ASSERT_EQ(peer.control(GetParam()), "OK dropped=1");
    EXPECT_TRUE(sEchoWithin(link, 3000));
    auto st = peer.status();
    EXPECT_EQ(st["connections"], 2);
    EXPECT_EQ(st["sessions"], 1);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
}

INSTANTIATE_TEST_SUITE_P(Ways, DropTest, ::testing::Values("drop rst", "drop fin"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param + 5);
                         });

// A module restarting (into its loader, or into new firmware) closes its port for a moment.
// The link shows an I/O error meanwhile and runs again by itself once the module listens.
TEST_F(LinkTcpTest, LinkComesBackByItselfWhenThePeerListensAgain) {
    link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 11));
    ASSERT_EQ(peer.control("drop-listen 1500"), "OK dropped=1");
    EXPECT_TRUE(sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusIOError; }, 1000))
        << (int)aLink_GetStatus(link);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusIOError) << "still away";
    ASSERT_TRUE(peer.ok("log-clear"));
    EXPECT_TRUE(sEchoWithin(link, 3000));
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    auto st = peer.status();
    EXPECT_EQ(st["connections"], 2);
    EXPECT_EQ(st["sessions"], 1);
    // The link regained framing with a handshake on the new connection.
    EXPECT_GE(sCount(peer.rxLog(), "AD 00"), 1u);
}

// A module that answers the sync packet from address 0 can never complete the handshake; the
// link must keep trying at a steady pace instead of restarting on every wrong byte.
TEST_F(LinkTcpTest, WrongSyncAnswersDoNotFloodTheModule) {
    link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 12)); // the peer has taken the connection
    ASSERT_TRUE(peer.ok("sync-answer 00 00"));
    ASSERT_TRUE(peer.ok("send 07")); // lose framing: the link starts a handshake
    ASSERT_TRUE(sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusSyncing; }, 1000));
    const long before = peer.status()["sync"];
    const auto start = Clock::now();
    bool reachedRunning = false;
    while (sMsSince(start) < 1000) {
        reachedRunning = reachedRunning || aLink_GetStatus(link) == kLinkStatusRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const long sent = peer.status()["sync"] - before;
    printf("wrong sync answers: %ld sync packets in %ld ms\n", sent, sMsSince(start));
    EXPECT_FALSE(reachedRunning);
    EXPECT_GE(sent, 6);  // it did try
    EXPECT_LE(sent, 25); // about two rounds of six per second
    const auto stopStart = Clock::now();
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_LT(sMsSince(stopStart), 500);
}

// Creates and destroys of one device from two threads (a stress of the table and the teardown,
// meant for the sanitizer builds too): every create gets a running link, nothing stays behind.
TEST_F(LinkTcpTest, CreatesAndDestroysFromTwoThreads) {
    std::atomic<int> failed{0};
    auto worker = [&] {
        for (int i = 0; i < 25; ++i) {
            aLinkRef id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
            if (id == 0 || aLink_GetStatus(id) != kLinkStatusRunning)
                failed++;
            if (id != 0)
                aLink_Destroy(&id);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(failed, 0);
    EXPECT_FALSE(aLinkManager_LookupBySerial(serial, TCPIP)) << "nothing left behind";
}

TEST_F(LinkTcpTest, ResetRebuildsTheLinkAfterThePeerWasAway) {
    link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(sEcho(link, 7));
    ASSERT_EQ(peer.control("drop-listen 300"), "OK dropped=1");
    // With nobody listening the reconnect fails: the link reports an I/O error.
    EXPECT_TRUE(sWaitUntil([&] { return aLink_GetStatus(link) == kLinkStatusIOError; }, 2000))
        << (int)aLink_GetStatus(link) << " " << peer.control("status");
    const aLinkRef before = link;
    EXPECT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(link, before);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_TRUE(sEcho(link, 8));
}

TEST_F(LinkTcpTest, PooledPacketsLeaveInTwoWrites) {
    aStream* socketStream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), peer.tcpPort, &socketStream), aErrNone);
    recorder.reset(new RecordingStream(socketStream));
    aStream* stream = recorder->make();
    link = aLink_Create(&stream);
    ASSERT_NE(link, 0u);
    ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
    ASSERT_TRUE(peer.ok("echo off"));
    ASSERT_TRUE(sWaitUntil([&] { return recorder->sizes().size() == 1; }, 1000)); // route on

    // Hold the send thread inside a write while 200 packets are queued behind it.
    recorder->hold(true);
    ASSERT_TRUE(sPut(link, kModule, {0x17, 0xFF}));
    ASSERT_TRUE(recorder->waitHeld(1000));
    for (int i = 0; i < 200; ++i) {
        Bytes data(28);
        for (int j = 0; j < 28; ++j)
            data[j] = static_cast<uint8_t>(i + j);
        data[0] = 0x17;
        ASSERT_TRUE(sPut(link, kModule, data));
    }
    recorder->hold(false);
    ASSERT_TRUE(sWaitUntil([&] { return recorder->sizes().size() >= 4; }, 2000));
    const std::vector<size_t> sizes = recorder->sizes();
    ASSERT_EQ(sizes.size(), 4u);
    EXPECT_EQ(sizes[2], 4080u); // 136 packets of 30 bytes
    EXPECT_EQ(sizes[3], 1920u); // 64 packets

    // Every packet arrived whole and in order.
    ASSERT_TRUE(peer.ok("wait-rx 202 2000"));
    auto log = peer.rxLog();
    ASSERT_EQ(log.size(), 202u);
    for (int i = 0; i < 200; ++i) {
        Bytes image = {kModule, 28};
        for (int j = 0; j < 28; ++j)
            image.push_back(static_cast<uint8_t>(i + j));
        image[2] = 0x17;
        ASSERT_EQ(log[2 + i], sHex(image)) << i;
    }
}

// ---------------------------------------------------------------------------------------------
// Soak: four threads exchange packets with the peer over one link. CORVANTIS_SOAK_SECONDS sets
// the duration (3 s by default).

struct SoakMatch {
    uint8_t thread;
    uint32_t sequence;
};

bool sSoakFilter(const aPacket* p, void* reference) {
    const SoakMatch* m = static_cast<const SoakMatch*>(reference);
    return p->dataSize == 6 && p->data[0] == 0x17 && p->data[1] == m->thread &&
           p->data[2] == static_cast<uint8_t>(m->sequence >> 24) &&
           p->data[3] == static_cast<uint8_t>(m->sequence >> 16) &&
           p->data[4] == static_cast<uint8_t>(m->sequence >> 8) &&
           p->data[5] == static_cast<uint8_t>(m->sequence);
}

TEST_F(LinkTcpTest, SoakFourThreadsLoseNothing) {
    int seconds = 3;
    if (const char* env = getenv("CORVANTIS_SOAK_SECONDS"))
        seconds = std::max(1, atoi(env));
    ASSERT_TRUE(peer.ok("heartbeat 100"));
    link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    ASSERT_NE(link, 0u);
    std::atomic<long> exchanged{0};
    std::atomic<long> lost{0};
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (uint8_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t seq = 0; Clock::now() < end; ++seq) {
                Bytes data = {0x17,
                              t,
                              static_cast<uint8_t>(seq >> 24),
                              static_cast<uint8_t>(seq >> 16),
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq)};
                if (!sPut(link, kModule, data)) {
                    lost++;
                    continue;
                }
                SoakMatch match{t, seq};
                aPacket* p = aLink_AwaitFirst(link, sSoakFilter, &match, 2000);
                if (p == nullptr)
                    lost++;
                else
                    exchanged++;
                aPacket_Destroy(&p);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    auto st = peer.status();
    RecordProperty("exchanged", std::to_string(exchanged.load()));
    printf("soak: %d s, %ld exchanges, %ld lost, %ld heartbeats answered\n", seconds,
           exchanged.load(), lost.load(), st["hb_ok"]);
    EXPECT_EQ(lost, 0);
    EXPECT_GT(exchanged, 100L * seconds);
    EXPECT_EQ(st["hb_bad"], 0);
    EXPECT_GE(st["hb_ok"], 5L * seconds);
    EXPECT_EQ(aLink_GetPacket(link), nullptr); // nothing unclaimed
}

} // namespace
