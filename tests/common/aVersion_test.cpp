#include "aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(aVersion, PackAndParse) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
        bool legacy;
        const char *text;
    };
    const Case cases[] = {
        {2, 14, 7, 0x2E000007, true, "2.14.7"},
        {2, 15, 0, 0x2F020F00, false, "2.15.0"},
        {1, 10, 0x23, 0x1A000023, true, "1.10.35"},
        {0, 0, 0, 0x00000000, true, "0.0.0"},
        {3, 0, 0, 0x2F030000, false, "3.0.0"},
        {255, 255, 255, 0x2FFFFFFF, false, "255.255.255"},
        {2, 255, 1, 0x2F02FF01, false, "2.255.1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t v = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(c.packed, v);
        EXPECT_EQ(c.legacy, aVersion_IsLegacyFormat(v));
        EXPECT_EQ(c.major, aVersion_ParseMajor(v));
        EXPECT_EQ(c.minor, aVersion_ParseMinor(v));
        EXPECT_EQ(c.patch, aVersion_ParsePatch(v));
        char text[32];
        EXPECT_EQ(aErrNone, aVersion_ParseString(v, text, sizeof(text)));
        EXPECT_STREQ(c.text, text);
    }
    // Legacy minor keeps only its low nibble.
    EXPECT_EQ(0x13000005u, aVersion_Pack(1, 0x13, 5));
}

TEST(aVersion, ParseValues) {
    struct Case {
        uint32_t value;
        bool legacy;
        uint8_t major, minor;
        uint32_t patch;
        const char *text;
    };
    const Case cases[] = {
        {0x1A000123, true, 1, 10, 291, "1.10.291"},
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x2F000000, false, 0, 0, 0, "0.0.0"},
        {0x30010203, false, 1, 2, 3, "1.2.3"},
        {0xFF010203, false, 1, 2, 3, "1.2.3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.legacy, aVersion_IsLegacyFormat(c.value));
        EXPECT_EQ(c.major, aVersion_ParseMajor(c.value));
        EXPECT_EQ(c.minor, aVersion_ParseMinor(c.value));
        EXPECT_EQ(c.patch, aVersion_ParsePatch(c.value));
        char text[32];
        aVersion_ParseString(c.value, text, sizeof(text));
        EXPECT_STREQ(c.text, text);
    }
    char small[5];
    EXPECT_EQ(aErrNone, aVersion_ParseString(0x1A000123, small, sizeof(small)));
    EXPECT_STREQ("1.10", small);
    EXPECT_EQ(aErrParam, aVersion_ParseString(0x1A000123, nullptr, 8));
}

TEST(aVersion, IsAtLeastCompare) {
    struct Case {
        uint8_t a1, a2, a3, b1, b2, b3;
        bool expected;
    };
    const Case cases[] = {
        {2, 10, 4, 2, 10, 4, true},   {2, 10, 3, 2, 10, 4, false},   {3, 0, 0, 2, 99, 99, true},
        {2, 11, 0, 2, 10, 200, true}, {1, 255, 255, 2, 0, 0, false}, {200, 0, 0, 100, 0, 0, true},
        {2, 9, 255, 2, 10, 0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, aVersion_IsAtLeastCompare(c.a1, c.a2, c.a3, c.b1, c.b2, c.b3))
            << int(c.a1) << "." << int(c.a2) << "." << int(c.a3) << " vs " << int(c.b1) << "."
            << int(c.b2) << "." << int(c.b3);
}

TEST(aVersion, LibraryVersion) {
    EXPECT_EQ(2, aVersion_GetMajor());
    EXPECT_EQ(12, aVersion_GetMinor());
    EXPECT_EQ(4, aVersion_GetPatch());
    EXPECT_STREQ("2.12.4", aVersion_GetString());
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 4));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 5));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char *list = aVersion_GetFeatureList();
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("VERSION - Version Query API\n", list);
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(nullptr, list);
    aVersion_DestroyFeatureList(&list);
}
