// COBS, CRC-8 and the COBS-encoded stream. Expected values are written out by hand from the
// frame description or computed by the independent reference tests/peers/cobs_crc8.py.
#include "aPacket.h"
#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

std::string sHex(const Bytes &bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof(two), "%02x", b);
        text += two;
    }
    return text.empty() ? "-" : text;
}

Bytes sUnhex(const std::string &text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Runs the reference and returns its one output line.
std::string sReference(const std::string &arguments) {
    std::string command = "python3 " PEERS_DIR "/cobs_crc8.py " + arguments;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe))
        out += buffer;
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

Bytes sRandom(std::mt19937 &rng, size_t length, int zeroPercent) {
    Bytes bytes(length);
    for (auto &b : bytes)
        b = (static_cast<int>(rng() % 100) < zeroPercent) ? 0
                                                          : static_cast<uint8_t>(rng() % 255 + 1);
    return bytes;
}

TEST(Crc8, CheckValues) {
    const char *text = "123456789";
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t *>(text), 9), 0xA1);
    EXPECT_EQ(crc8_create(nullptr, 0), 0);
    const uint8_t image[] = {0x02, 0x03, 0x03, 0x48, 0x20};
    EXPECT_EQ(crc8_create(image, sizeof(image)), 0x21);
    EXPECT_TRUE(crc8_check(image, sizeof(image), 0x21));
    EXPECT_FALSE(crc8_check(image, sizeof(image), 0x20));
    // One step by hand: 0x01 shifted out eight times through 0x8C gives 0x5E.
    EXPECT_EQ(crc8_update(0, 0x01), 0x5E);
}

TEST(Crc8, MatchesReference) {
    std::mt19937 rng(7);
    std::string batch;
    std::vector<Bytes> inputs;
    for (int i = 0; i < 8; i++)
        inputs.push_back(sRandom(rng, 1 + rng() % 40, 10));
    for (const Bytes &input : inputs)
        EXPECT_EQ(sReference("crc8 " + sHex(input)),
                  sHex(Bytes{crc8_create(input.data(), input.size())}));
}

struct CobsCase {
    Bytes decoded;
    Bytes encoded;
};

class CobsVectors : public ::testing::TestWithParam<CobsCase> {};

TEST_P(CobsVectors, EncodeDecodeBothWays) {
    const CobsCase &c = GetParam();
    Bytes out(c.decoded.size() + c.decoded.size() / 254 + 2, 0xEE);
    size_t n = cobs_encode(c.decoded.data(), c.decoded.size(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.encoded);

    Bytes inplace = c.decoded;
    inplace.resize(c.encoded.size() + 1, 0xEE);
    n = cobs_encode_inplace(inplace.data(), c.decoded.size());
    EXPECT_EQ(Bytes(inplace.begin(), inplace.begin() + n), c.encoded);

    Bytes back(c.encoded.size(), 0xEE);
    n = cobs_decode(c.encoded.data(), c.encoded.size(), back.data());
    EXPECT_EQ(Bytes(back.begin(), back.begin() + n), c.decoded);

    Bytes same = c.encoded;
    n = cobs_decode_inplace(same.data(), same.size());
    EXPECT_EQ(Bytes(same.begin(), same.begin() + n), c.decoded);
}

INSTANTIATE_TEST_SUITE_P(
    ByHand, CobsVectors,
    ::testing::Values(CobsCase{{}, {0x01}}, CobsCase{{0x00}, {0x01, 0x01}},
                      CobsCase{{0x00, 0x00}, {0x01, 0x01, 0x01}},
                      CobsCase{{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
                      CobsCase{{0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
                      CobsCase{{0x02, 0x03, 0x03, 0x48, 0x20, 0x21},
                               {0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21}}));

TEST(Cobs, LongBlocksMatchReference) {
    // 254 non-zero bytes fill one block (code 0xFF) and a final empty block follows.
    Bytes input(254);
    for (size_t i = 0; i < input.size(); i++)
        input[i] = static_cast<uint8_t>(i % 255 + 1);
    Bytes out(input.size() + 4);
    size_t n = cobs_encode(input.data(), input.size(), out.data());
    ASSERT_EQ(n, 256u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[255], 0x01);
    EXPECT_EQ(sHex(Bytes(out.begin(), out.begin() + n)), sReference("encode " + sHex(input)));
    Bytes back(n);
    EXPECT_EQ(cobs_decode(out.data(), n, back.data()), 254u);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 254), input);
}

TEST(Cobs, RandomInputsMatchReference) {
    std::mt19937 rng(11);
    for (int i = 0; i < 10; i++) {
        Bytes input = sRandom(rng, rng() % 200, i * 8);
        Bytes out(input.size() + 4);
        size_t n = cobs_encode(input.data(), input.size(), out.data());
        Bytes encoded(out.begin(), out.begin() + n);
        ASSERT_EQ(sHex(encoded), sReference("encode " + sHex(input))) << i;
        for (uint8_t b : encoded)
            ASSERT_NE(b, 0);
        Bytes inplace = input;
        inplace.resize(input.size() + 4);
        ASSERT_EQ(cobs_encode_inplace(inplace.data(), input.size()), n);
        EXPECT_EQ(Bytes(inplace.begin(), inplace.begin() + n), encoded);
        Bytes back(n);
        size_t m = cobs_decode(encoded.data(), n, back.data());
        EXPECT_EQ(Bytes(back.begin(), back.begin() + m), input);
    }
}

TEST(Cobs, MalformedInputDecodesToZero) {
    const Bytes cases[] = {{0x05, 0x11, 0x22}, {0x00}, {0x02, 0x11, 0x00, 0x11}, {0x03, 0x01}};
    for (const Bytes &c : cases) {
        Bytes out(c.size() + 1);
        EXPECT_EQ(cobs_decode(c.data(), c.size(), out.data()), 0u) << sHex(c);
        EXPECT_EQ(sReference("decode " + sHex(c)), "malformed") << sHex(c);
    }
}

// Memory underlying stream: frames written, bytes to read.
struct Wire {
    Bytes written;
    std::vector<size_t> writeSizes;
    std::deque<uint8_t> incoming;
    int puts = 0;
    int deletes = 0;
};

aErr sWireGet(uint8_t *byte, void *ref) {
    Wire *w = static_cast<Wire *>(ref);
    if (w->incoming.empty())
        return aErrNotReady;
    *byte = w->incoming.front();
    w->incoming.pop_front();
    return aErrNone;
}
aErr sWirePut(uint8_t byte, void *ref) {
    Wire *w = static_cast<Wire *>(ref);
    w->puts++;
    w->written.push_back(byte);
    return aErrNone;
}
aErr sWireWrite(const uint8_t *bytes, size_t length, void *ref) {
    Wire *w = static_cast<Wire *>(ref);
    w->written.insert(w->written.end(), bytes, bytes + length);
    w->writeSizes.push_back(length);
    return aErrNone;
}
aErr sWireDelete(void *ref) {
    static_cast<Wire *>(ref)->deletes++;
    return aErrNone;
}

struct CobsStreamFixture : ::testing::Test {
    Wire wire;
    aStream *stream = nullptr;
    void SetUp() override {
        ASSERT_EQ(
            aStream_CreateCobsEncoding(sWireGet, sWirePut, sWireWrite, sWireDelete, &wire, &stream),
            aErrNone);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
            EXPECT_EQ(wire.deletes, 1) << "deleting the COBS stream deletes the underlying one";
        }
    }
    void arrive(const Bytes &bytes) {
        wire.incoming.insert(wire.incoming.end(), bytes.begin(), bytes.end());
    }
    // Gets until the underlying bytes are used up; collects delivered bytes and frame errors.
    Bytes drain(int *packetErrors) {
        Bytes out;
        int idle = 0; // the get that reads a delimiter reports "not ready"; the next delivers
        for (int guard = 0; guard < 10000 && idle < 2; guard++) {
            uint8_t byte;
            aErr err = aStream_Read(stream, &byte, 1);
            idle = (err == aErrNotReady && wire.incoming.empty()) ? idle + 1 : 0;
            if (err == aErrNone)
                out.push_back(byte);
            else if (err == aErrPacket)
                (*packetErrors)++;
            else if (err != aErrNotReady)
                ADD_FAILURE() << "unexpected " << err;
        }
        return out;
    }
};

TEST_F(CobsStreamFixture, WritesTheDocumentedFrame) {
    const Bytes image = {0x02, 0x03, 0x03, 0x48, 0x20};
    EXPECT_EQ(aStream_Write(stream, image.data(), image.size()), aErrNone);
    EXPECT_EQ(wire.written, (Bytes{0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00}));
    EXPECT_EQ(wire.writeSizes, (std::vector<size_t>{8}));
}

TEST_F(CobsStreamFixture, ReadsTheDocumentedFrame) {
    arrive({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00});
    int errors = 0;
    EXPECT_EQ(drain(&errors), (Bytes{0x02, 0x03, 0x03, 0x48, 0x20}));
    EXPECT_EQ(errors, 0);
}

TEST_F(CobsStreamFixture, LargestPacketBothWays) {
    Bytes data(28);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 37); // includes a zero at 0
    Bytes image = {0x0A, 28};
    image.insert(image.end(), data.begin(), data.end());
    ASSERT_EQ(aStream_Write(stream, image.data(), image.size()), aErrNone);
    Bytes expected = sUnhex(sReference("frame 0a " + sHex(data)));
    ASSERT_EQ(expected.size(), 33u);
    EXPECT_EQ(wire.written, expected);

    arrive(expected);
    int errors = 0;
    EXPECT_EQ(drain(&errors), image);
    EXPECT_EQ(errors, 0);
}

TEST_F(CobsStreamFixture, SeveralAndSplitPackets) {
    // Two packets in one write give two frames; a packet split over calls is framed once its
    // last byte arrives; an empty packet is framed too.
    const Bytes two = {0x02, 0x01, 0x00, 0x04, 0x02, 0x05, 0x06};
    ASSERT_EQ(aStream_Write(stream, two.data(), two.size()), aErrNone);
    EXPECT_EQ(wire.writeSizes.size(), 2u);
    const Bytes first = {0x06, 0x03, 0x10};
    const Bytes second = {0x20, 0x30, 0x08, 0x00};
    ASSERT_EQ(aStream_Write(stream, first.data(), first.size()), aErrNone);
    EXPECT_EQ(wire.writeSizes.size(), 2u);
    ASSERT_EQ(aStream_Write(stream, second.data(), second.size()), aErrNone);
    EXPECT_EQ(wire.writeSizes.size(), 4u);
    std::string expected = sReference("frame 02 00") + sReference("frame 04 0506") +
                           sReference("frame 06 102030") + sReference("frame 08 -");
    EXPECT_EQ(sHex(wire.written), expected);
}

TEST_F(CobsStreamFixture, RefusedBytesDoNotBlockLaterPackets) {
    // A zero address byte and a length above 28 are dropped; the next packet still goes out.
    const Bytes junk = {0x00, 0x06, 0x1D};
    aStream_Write(stream, junk.data(), junk.size());
    EXPECT_TRUE(wire.written.empty());
    const Bytes image = {0x02, 0x03, 0x03, 0x48, 0x20};
    ASSERT_EQ(aStream_Write(stream, image.data(), image.size()), aErrNone);
    EXPECT_EQ(wire.written, (Bytes{0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00}));
}

TEST_F(CobsStreamFixture, BadCrcThenGoodFrame) {
    arrive({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x22, 0x00}); // CRC should be 0x21
    arrive({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00});
    int errors = 0;
    EXPECT_EQ(drain(&errors), (Bytes{0x02, 0x03, 0x03, 0x48, 0x20}));
    EXPECT_EQ(errors, 1);
}

TEST_F(CobsStreamFixture, WrongLengthAndOverlongFramesFail) {
    // Announces 4 data bytes but carries 3 (CRC correct for the bytes as sent).
    Bytes image = {0x02, 0x04, 0x03, 0x48, 0x20};
    image.push_back(crc8_create(image.data(), image.size()));
    ASSERT_EQ(sReference("unframe " + sHex(sUnhex(sReference("encode " + sHex(image))))), "bad");
    arrive(sUnhex(sReference("encode " + sHex(image))));
    arrive({0x00});
    // 40 non-zero bytes before a delimiter: the excess is dropped and the frame fails.
    arrive(Bytes(40, 0x11));
    arrive({0x00});
    arrive(sUnhex(sReference("frame 04 01")));
    int errors = 0;
    EXPECT_EQ(drain(&errors), (Bytes{0x04, 0x01, 0x01}));
    EXPECT_EQ(errors, 2);
}

TEST_F(CobsStreamFixture, StrayZerosAreIgnored) {
    arrive({0x00, 0x00});
    arrive({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00});
    arrive({0x00, 0x00, 0x00});
    arrive(sUnhex(sReference("frame 04 -")));
    int errors = 0;
    EXPECT_EQ(drain(&errors), (Bytes{0x02, 0x03, 0x03, 0x48, 0x20, 0x04, 0x00}));
    EXPECT_EQ(errors, 0);
}

TEST_F(CobsStreamFixture, PutPassesBytesUnframed) {
    uint8_t b = 0x5A;
    EXPECT_EQ(aStream_Write(stream, &b, 1), aErrNone);
    EXPECT_EQ(wire.puts, 1);
    EXPECT_EQ(wire.written, (Bytes{0x5A}));
}

TEST(CobsStream, CreateChecksItsOutPointer) {
    Wire wire;
    EXPECT_EQ(
        aStream_CreateCobsEncoding(sWireGet, sWirePut, sWireWrite, sWireDelete, &wire, nullptr),
        aErrParam);
}

} // namespace
