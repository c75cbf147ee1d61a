#include "aStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A scripted source and a recording sink behind the four procedures.
struct Fake {
    std::deque<uint8_t> input; // bytes the get procedure delivers
    aErr whenEmpty = aErrNotReady;
    int gets = 0;
    int puts = 0;
    int writes = 0;
    int deletes = 0;
    aErr deleteResult = aErrNone;
    std::vector<uint8_t> output;
    void feed(const std::string &text) { input.insert(input.end(), text.begin(), text.end()); }
};

aErr sGet(uint8_t *byte, void *ref) {
    Fake *f = static_cast<Fake *>(ref);
    f->gets++;
    if (f->input.empty())
        return f->whenEmpty;
    *byte = f->input.front();
    f->input.pop_front();
    return aErrNone;
}
aErr sPut(uint8_t byte, void *ref) {
    Fake *f = static_cast<Fake *>(ref);
    f->puts++;
    f->output.push_back(byte);
    return aErrNone;
}
aErr sWrite(const uint8_t *bytes, size_t length, void *ref) {
    Fake *f = static_cast<Fake *>(ref);
    f->writes++;
    f->output.insert(f->output.end(), bytes, bytes + length);
    return aErrNone;
}
aErr sDelete(void *ref) {
    Fake *f = static_cast<Fake *>(ref);
    f->deletes++;
    return f->deleteResult;
}

struct StreamFixture : ::testing::Test {
    Fake fake;
    aStream *stream = aStream_Create(sGet, sPut, sWrite, sDelete, &fake);
    ~StreamFixture() override {
        if (stream)
            aStream_Destroy(&stream);
    }
};

TEST_F(StreamFixture, ReadKeepsPartialBytesWhenSourceRunsDry) {
    fake.feed("AB");
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrNotReady);
    EXPECT_EQ(buffer[0], 0xEE) << "caller's buffer is untouched";
    EXPECT_EQ(fake.gets, 3);
    EXPECT_EQ(aStream_Read(stream, buffer, 2), aErrNone);
    EXPECT_EQ(fake.gets, 3) << "served from the put-back buffer alone";
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(buffer[1], 'B');

    // A partial read again, then the rest arrives: the bytes come out whole and in order.
    fake.feed("CD");
    EXPECT_EQ(aStream_Read(stream, buffer, 3), aErrNotReady);
    fake.feed("E");
    EXPECT_EQ(aStream_Read(stream, buffer, 3), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 3), "CDE");
}

TEST_F(StreamFixture, ReadAtEndOfDataAndOtherErrors) {
    fake.feed("XY");
    fake.whenEmpty = aErrEOF;
    uint8_t buffer[4] = {0};
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrEOF);
    EXPECT_EQ(buffer[0], 'X') << "bytes before the end are handed back";
    EXPECT_EQ(buffer[1], 'Y');

    fake.feed("Q");
    fake.whenEmpty = aErrIO;
    uint8_t other[2] = {0, 0};
    EXPECT_EQ(aStream_Read(stream, other, 2), aErrIO);
    EXPECT_EQ(other[0], 0);
    fake.feed("R");
    EXPECT_EQ(aStream_Read(stream, other, 1), aErrNone);
    EXPECT_EQ(other[0], 'R') << "bytes of a failed read are dropped, not put back";
}

TEST_F(StreamFixture, ReadParameterChecks) {
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    aStream *writeOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &fake);
    EXPECT_EQ(aStream_Read(writeOnly, &b, 1), aErrMode);
    aStream_Destroy(&writeOnly);
}

TEST_F(StreamFixture, ReadLargeCount) {
    std::string text(1000, 'z');
    text[999] = '!';
    fake.feed(text);
    std::vector<uint8_t> buffer(1000);
    EXPECT_EQ(aStream_Read(stream, buffer.data(), buffer.size()), aErrNone);
    EXPECT_EQ(buffer[999], '!');
}

TEST_F(StreamFixture, WriteChoosesPutOrWrite) {
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(stream, bytes, 1), aErrNone);
    EXPECT_EQ(fake.puts, 1);
    EXPECT_EQ(fake.writes, 0);
    EXPECT_EQ(aStream_Write(stream, bytes, 2), aErrNone);
    EXPECT_EQ(fake.puts, 1);
    EXPECT_EQ(fake.writes, 1);
    EXPECT_EQ(fake.output, (std::vector<uint8_t>{1, 1, 2}));

    Fake other;
    aStream *putOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &other);
    EXPECT_EQ(aStream_Write(putOnly, bytes, 3), aErrNone);
    EXPECT_EQ(other.puts, 3);
    aStream *writeOnly = aStream_Create(nullptr, nullptr, sWrite, nullptr, &other);
    EXPECT_EQ(aStream_Write(writeOnly, bytes, 1), aErrNone);
    EXPECT_EQ(other.writes, 1) << "a single byte uses write when there is no put";
    aStream *neither = aStream_Create(sGet, nullptr, nullptr, nullptr, &other);
    EXPECT_EQ(aStream_Write(neither, bytes, 3), aErrMode);
    EXPECT_EQ(aStream_Write(stream, nullptr, 3), aErrParam);
    aStream_Destroy(&putOnly);
    aStream_Destroy(&writeOnly);
    aStream_Destroy(&neither);
}

TEST_F(StreamFixture, PutBackGrowsInStepsAndKeepsOrder) {
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i * 7)), aErrNone);
    EXPECT_EQ(stream->bufferSize, 1024u) << "grown once: 512, then 1024";
    EXPECT_EQ(stream->bufferCount, 600u);
    std::vector<uint8_t> out(600);
    ASSERT_EQ(aStream_Read(stream, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i * 7)) << i;
    EXPECT_EQ(fake.gets, 0);
}

TEST_F(StreamFixture, PutBackRingWrapsBeforeGrowing) {
    // Read and refill so that the ring's indexes wrap, then grow: order must hold.
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 400; i++)
            aStreamBufferChar(stream, static_cast<uint8_t>(round * 400 + i));
        std::vector<uint8_t> out(400);
        ASSERT_EQ(aStream_Read(stream, out.data(), 400), aErrNone);
        for (int i = 0; i < 400; i++)
            ASSERT_EQ(out[i], static_cast<uint8_t>(round * 400 + i));
    }
    EXPECT_EQ(stream->bufferSize, 512u);
    for (int i = 0; i < 520; i++)
        aStreamBufferChar(stream, static_cast<uint8_t>(i));
    EXPECT_EQ(stream->bufferSize, 1024u);
    std::vector<uint8_t> out(520);
    ASSERT_EQ(aStream_Read(stream, out.data(), 520), aErrNone);
    for (int i = 0; i < 520; i++)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i)) << i;
}

TEST(Stream, DestroyCallsDeleteAndNullsPointer) {
    Fake fake;
    fake.deleteResult = aErrIO;
    aStream *stream = aStream_Create(sGet, sPut, sWrite, sDelete, &fake);
    aStreamBufferChar(stream, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO) << "the delete procedure's result";
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(fake.deletes, 1);

    aStream *none = nullptr;
    EXPECT_EQ(aStream_Destroy(&none), aErrParam);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);

    aStream bogus{};
    aStream *pointer = &bogus;
    EXPECT_EQ(aStream_Destroy(&pointer), aErrParam);
    EXPECT_EQ(pointer, nullptr);
}

struct RecordCase {
    const char *input;
    const char *delimiter;
    size_t size;
    aErr result;
    const char *record;
    const char *rest; // what the next byte reads give
};

class StreamRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(StreamRecord, ReadsUpToTheDelimiter) {
    const RecordCase &c = GetParam();
    Fake fake;
    fake.feed(c.input);
    fake.whenEmpty = aErrEOF;
    aStream *stream = aStream_Create(sGet, sPut, sWrite, sDelete, &fake);
    uint8_t buffer[64];
    size_t length = 99;
    aErr err = aStream_ReadRecord(stream, buffer, &length, c.size,
                                  reinterpret_cast<const uint8_t *>(c.delimiter),
                                  std::strlen(c.delimiter));
    EXPECT_EQ(err, c.result);
    if (err == aErrNone) {
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), length), c.record);
    }
    std::string rest(fake.input.begin(), fake.input.end());
    EXPECT_EQ(rest, c.rest);
    aStream_Destroy(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRecord,
    ::testing::Values(RecordCase{"abc\r\ndef", "\r\n", 64, aErrNone, "abc", "def"},
                      RecordCase{"a\rb\r\nz", "\r\n", 64, aErrNone, "a\rb", "z"},
                      RecordCase{"xaaab-", "aab", 64, aErrNone, "xa", "-"},
                      RecordCase{"\r\nrest", "\r\n", 64, aErrNone, "", "rest"},
                      RecordCase{"abcdef", ";", 4, aErrNone, "abcd", "ef"},
                      RecordCase{"tail", ";", 64, aErrNone, "tail", ""},
                      RecordCase{"tai\r", "\r\n", 64, aErrNone, "tai\r", ""},
                      RecordCase{"", ";", 64, aErrEOF, "", ""}));

TEST(Stream, ReadRecordNotReadyKeepsConsumedBytes) {
    Fake fake;
    aStream *stream = aStream_Create(sGet, sPut, sWrite, sDelete, &fake);
    const uint8_t delimiter[] = {'\r', '\n'};
    uint8_t buffer[32];
    size_t length = 0;
    fake.feed("hel");
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, 32, delimiter, 2), aErrNotReady);
    fake.feed("lo\r");
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, 32, delimiter, 2), aErrNotReady);
    fake.feed("\nnext");
    ASSERT_EQ(aStream_ReadRecord(stream, buffer, &length, 32, delimiter, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), length), "hello");
    aStream_Destroy(&stream);
}

TEST(Stream, CStringRoundTrips) {
    Fake fake;
    aStream *stream = aStream_Create(sGet, sPut, sWrite, sDelete, &fake);
    ASSERT_EQ(aStream_WriteCString(stream, "first"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(stream, "second", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(stream, "third", "\r\n"), aErrNone);
    EXPECT_EQ(fake.output.size(), 6u + 8u + 7u);
    fake.input.assign(fake.output.begin(), fake.output.end());
    fake.whenEmpty = aErrEOF;
    char text[32];
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "first");
    ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof(text), "\r\n"), aErrNone);
    EXPECT_STREQ(text, "second");
    ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof(text), "\r\n"), aErrNone);
    EXPECT_STREQ(text, "third");
    EXPECT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrEOF);

    // A string longer than the buffer is cut at size - 1 and terminated.
    fake.feed(std::string("abcdefgh") + '\0');
    ASSERT_EQ(aStream_ReadCString(stream, text, 5), aErrNone);
    EXPECT_STREQ(text, "abcd");
    aStream_Destroy(&stream);
}

std::string sTempPath(const char *name) {
    return std::string(::testing::TempDir()) + "/" + name + "." + std::to_string(getpid());
}

TEST(Stream, FileStreamsAndFlush) {
    std::string path = sTempPath("stream_file");
    aStream *out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    ASSERT_NE(out, nullptr);
    const uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o', 0, 0xFF};
    EXPECT_EQ(aStream_Write(out, bytes, sizeof(bytes)), aErrNone);
    EXPECT_EQ(aStream_Write(out, bytes, 1), aErrNone);
    uint8_t dummy;
    EXPECT_EQ(aStream_Read(out, &dummy, 1), aErrMode) << "an output file has no get";
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStream *in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    uint8_t buffer[8] = {0};
    EXPECT_EQ(aStream_Read(in, buffer, 3), aErrNone);
    EXPECT_EQ(std::memcmp(buffer, "hel", 3), 0);
    EXPECT_EQ(aStream_Write(in, bytes, 2), aErrMode) << "an input file has no put or write";

    // Flush the rest into a sink: stops at the end of the file with success.
    Fake sink;
    aStream *target = aStream_Create(nullptr, sPut, nullptr, nullptr, &sink);
    EXPECT_EQ(aStream_Flush(in, target), aErrNone);
    EXPECT_EQ(sink.output, (std::vector<uint8_t>{'l', 'o', 0, 0xFF, 'h'}));
    EXPECT_EQ(aStream_Read(in, buffer, 1), aErrEOF);
    aStream_Destroy(&target);
    aStream_Destroy(&in);
    std::remove(path.c_str());

    aStream *none = reinterpret_cast<aStream *>(0x1);
    EXPECT_EQ(aStream_CreateFileInput("/nonexistent/dir/file", &none), aErrResource);
    EXPECT_EQ(none, reinterpret_cast<aStream *>(0x1)) << "stored only on success";
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &none), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(path.c_str(), nullptr), aErrResource);
}

TEST(Stream, FlushStopsAtOtherErrors) {
    Fake source;
    source.feed("ab");
    source.whenEmpty = aErrNotReady;
    Fake sink;
    aStream *from = aStream_Create(sGet, nullptr, nullptr, nullptr, &source);
    aStream *to = aStream_Create(nullptr, sPut, nullptr, nullptr, &sink);
    EXPECT_EQ(aStream_Flush(from, to), aErrNotReady);
    EXPECT_EQ(sink.output.size(), 2u);
    EXPECT_EQ(aStream_Flush(to, from), aErrMode);
    aStream_Destroy(&from);
    aStream_Destroy(&to);
}

} // namespace
