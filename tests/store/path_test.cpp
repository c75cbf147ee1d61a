#include "path.h"

#include <gtest/gtest.h>

TEST(BuildPath, AlwaysInsertsTheSeparator) {
    struct Case {
        const char *a;
        const char *b;
        const char *expected;
    };
    const Case cases[] = {
        {"x", "y", "x/y"},   {"/", "y", "//y"}, {"a/", "b", "a//b"},
        {"a", "/b", "a//b"}, {"", "y", "/y"},   {"x", "", "x/"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, BuildPath(c.a, c.b, nullptr)) << c.a << " + " << c.b;
}

TEST(BuildPath, ManyComponentsAndStrings) {
    EXPECT_EQ("only", BuildPath("only", nullptr));
    std::string home = "/home/user";
    EXPECT_EQ("/home/user/.veltrona/updater", BuildPath(home, ".veltrona", "updater", nullptr));
    // No limit on the count, unlike the buffer form.
    EXPECT_EQ("1/2/3/4/5/6/7/8/9/10/11/12",
              BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr));
    std::string longName(5000, 'n');
    EXPECT_EQ(5002u, BuildPath("d", longName, nullptr).size());
}

TEST(BuildPath, ANullComponentEndsTheList) {
    const char *none = nullptr;
    EXPECT_EQ("a/b", BuildPath("a", "b", none, "c", nullptr));
    EXPECT_EQ("", BuildPath(none, "b", nullptr));
    const char *parts[] = {"p", "q", nullptr, "r"};
    EXPECT_EQ("p/q", BuildPathList(parts, 4));
    EXPECT_EQ("p", BuildPathList(parts, 1));
    EXPECT_EQ("", BuildPathList(nullptr, 3));
}
