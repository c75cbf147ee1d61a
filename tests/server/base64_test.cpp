#include "base64.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Freer {
    void operator()(void *p) const { free(p); }
};

std::string Encode(const std::string &bytes) {
    size_t length = 12345;
    std::unique_ptr<char, Freer> text(base64_encode(
        reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &length));
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(length, strlen(text.get()));
    return text.get();
}

// Decodes; false when the decoder refuses the text.
bool Decode(const std::string &text, std::string &bytes) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, Freer> data(base64_decode(text.data(), text.size(), &length));
    if (!data)
        return false;
    EXPECT_EQ(data.get()[length], 0) << "buffer must end with a zero byte";
    bytes.assign(reinterpret_cast<const char *>(data.get()), length);
    return true;
}

struct Pair {
    const char *bytes;
    const char *text;
};

const Pair kPairs[] = {
    {"", ""},
    {"a", "YQ=="},
    {"ab", "YWI="},
    {"abc", "YWJj"},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xff\xfe\xfd", "//79"},
    {"\xfb\xef", "++8="},
};

} // namespace

TEST(base64, EncodesAndDecodesKnownPairs) {
    for (const Pair &p : kPairs) {
        SCOPED_TRACE(p.text);
        EXPECT_EQ(Encode(p.bytes), p.text);
        std::string bytes = "junk";
        ASSERT_TRUE(Decode(p.text, bytes));
        EXPECT_EQ(bytes, p.bytes);
    }
}

TEST(base64, EmptyTextDecodesToEmptyBuffer) {
    size_t length = 99;
    unsigned char *data = base64_decode("", 0, &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, 0u);
    free(data);
}

TEST(base64, RoundTripsEveryByteValueAtEveryRemainder) {
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back(static_cast<char>(i));
    for (size_t cut = 253; cut <= 256; cut++) {
        std::string bytes;
        ASSERT_TRUE(Decode(Encode(all.substr(0, cut)), bytes));
        EXPECT_EQ(bytes, all.substr(0, cut));
    }
}

TEST(base64, RefusesDamagedText) {
    const char *bad[] = {
        "YWJjZ",        // length not a multiple of 4
        "YQ=",          // the same, with padding
        "YW Jj",        // white space
        "YWJj\n",       // line end
        "YQ=a",         // padding before the last character is not at the end
        "Y=Q=",         // padding inside
        "=WJj",         // padding first
        "Y===",         // three padding characters
        "YWJ!",         // outside the alphabet
        "YW-_",         // the URL-safe alphabet is not this one
        "YWJjYQ==YWJj", // padding in the middle of a longer text
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        std::string bytes;
        EXPECT_FALSE(Decode(text, bytes));
    }
    // A zero byte inside the text is outside the alphabet too.
    std::string withZero("YW\0j", 4);
    std::string bytes;
    EXPECT_FALSE(Decode(withZero, bytes));
}
