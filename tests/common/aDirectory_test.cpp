#include "aDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "../unix/TempDir.h"

namespace {
bool isDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void touch(const std::string &path, const std::string &content = "") {
    std::ofstream out(path);
    out << content;
}

struct Entry {
    std::string path;
    uint32_t size;
    int32_t isDirectory;
};

bool sCollect(const aDirectoryListData *data, void *reference) {
    static_cast<std::vector<Entry> *>(reference)->push_back(
        {data->path, data->size, data->isDirectory});
    return true;
}

bool sStopAtOnce(const aDirectoryListData *data, void *reference) {
    static_cast<std::vector<Entry> *>(reference)->push_back(
        {data->path, data->size, data->isDirectory});
    return false;
}
} // namespace

TEST(aDirectory, Separator) {
    EXPECT_STREQ("/", aDIR_PATH_SEP);
}

TEST(aDirectory, BuildPathJoins) {
    struct Case {
        const char *a;
        const char *b;
        const char *expected;
    };
    const Case cases[] = {
        {"x", "y", "x/y"}, {"x/", "y", "x/y"}, {"x", "/y", "x/y"}, {"x/", "/y", "x//y"},
        {"/", "y", "/y"},  {"", "y", "/y"},    {"x", "", "x/"},
    };
    for (const Case &c : cases) {
        char buffer[64] = "junk";
        EXPECT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof(buffer), c.a, c.b, nullptr));
        EXPECT_STREQ(c.expected, buffer) << c.a << " + " << c.b;
    }
    char buffer[64];
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof(buffer), "only", nullptr));
    EXPECT_STREQ("only", buffer);
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof(buffer), "/a", "b/", "c", nullptr));
    EXPECT_STREQ("/a/b/c", buffer);
}

TEST(aDirectory, BuildPathComponentLimit) {
    char buffer[64] = "junk";
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof(buffer), "1", "2", "3", "4", "5", "6",
                                             "7", "8", "9", "10", nullptr));
    EXPECT_STREQ("1/2/3/4/5/6/7/8/9/10", buffer);
    strcpy(buffer, "junk");
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, sizeof(buffer), "1", "2", "3", "4", "5", "6",
                                              "7", "8", "9", "10", "11", nullptr));
    EXPECT_STREQ("", buffer);
}

TEST(aDirectory, BuildPathBadBuffers) {
    char buffer[16] = "abc";
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(nullptr, 16, "a", nullptr));
    // The first component is the buffer itself: refused before anything is written.
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, sizeof(buffer), buffer, "x", nullptr));
    EXPECT_STREQ("abc", buffer);
    char other[16] = "dir";
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(other, sizeof(other), "a", other, nullptr));
    EXPECT_STREQ("", other);
}

TEST(aDirectory, BuildPathOverrun) {
    struct Case {
        size_t size;
        const char *first;
        const char *second;
        aErr result;
        const char *built;
    };
    const Case cases[] = {
        {8, "abcdefg", nullptr, aErrOverrun, ""},   // first of size - 1
        {8, "abcdef", nullptr, aErrNone, "abcdef"}, // first of size - 2
        {8, "abc", "def", aErrOverrun, "abc/"},     // needs 8 bytes with the terminator
        {8, "abc", "de", aErrNone, "abc/de"},       {8, "abcde", "f", aErrOverrun, "abcde/"},
        {8, "abcdef", "g", aErrOverrun, "abcdef"}, // no room for a separator
        {1, "", nullptr, aErrOverrun, ""},
    };
    for (const Case &c : cases) {
        char buffer[16];
        memset(buffer, 'Z', sizeof(buffer));
        EXPECT_EQ(c.result, aDirectory_BuildPath(buffer, c.size, c.first, c.second, nullptr))
            << c.first << " size " << c.size;
        EXPECT_STREQ(c.built, buffer) << c.first << " size " << c.size;
        EXPECT_EQ('Z', buffer[c.size]) << "wrote beyond the buffer";
    }
}

TEST(aDirectory, JoinPath) {
    char buffer[32];
    aDirectory_JoinPath(buffer, sizeof(buffer), "dir", "name");
    EXPECT_STREQ("dir/name", buffer);
}

TEST(aDirectory, ExistsOnlyForDirectories) {
    TempDir dir;
    touch(dir.file("f"));
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("none").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(aDirectory, EnsureCreatesMissingLevels) {
    TempDir dir;
    std::string base = dir.file("base");
    ASSERT_EQ(0, mkdir(base.c_str(), 0755));
    std::string target = base + "/a/b/c";
    // Each level can only be made inside the one before it, so success shows the order.
    ASSERT_EQ(aErrNone, aDirectory_Ensure(target.c_str(), 0755));
    EXPECT_TRUE(isDirectory(base + "/a"));
    EXPECT_TRUE(isDirectory(base + "/a/b"));
    EXPECT_TRUE(isDirectory(target));

    // Existing: nothing to do, and nothing changes.
    touch(target + "/keep");
    EXPECT_EQ(aErrNone, aDirectory_Ensure(target.c_str(), 0755));
    EXPECT_TRUE(std::ifstream(target + "/keep").good());

    // Doubled and trailing separators are skipped.
    std::string doubled = base + "//x//y/";
    EXPECT_EQ(aErrNone, aDirectory_Ensure(doubled.c_str(), 0755));
    EXPECT_TRUE(isDirectory(base + "/x/y"));
}

TEST(aDirectory, EnsureRefusesAFileInTheWay) {
    TempDir dir;
    touch(dir.file("file"));
    EXPECT_EQ(aErrPermission, aDirectory_Ensure(dir.file("file/sub/deeper").c_str(), 0755));
    EXPECT_FALSE(isDirectory(dir.file("file/sub")));
    // The last component itself being a file is no success either.
    EXPECT_EQ(aErrPermission, aDirectory_Ensure(dir.file("file").c_str(), 0755));
    EXPECT_EQ(aErrParam, aDirectory_Ensure(nullptr, 0755));
    EXPECT_EQ(aErrParam, aDirectory_Ensure("", 0755));
}

TEST(aDirectory, EnsureRelativePath) {
    TempDir dir;
    aErr err;
    {
        WorkIn in(dir.path());
        ASSERT_TRUE(in.moved);
        err = aDirectory_Ensure("one/two/three", 0755);
    }
    EXPECT_EQ(aErrNone, err);
    EXPECT_TRUE(isDirectory(dir.file("one")));
    EXPECT_TRUE(isDirectory(dir.file("one/two")));
    EXPECT_TRUE(isDirectory(dir.file("one/two/three")));
}

TEST(aDirectory, ListPassesEveryEntry) {
    TempDir dir;
    touch(dir.file("file.bird"), "12345");
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));

    std::vector<Entry> entries;
    EXPECT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), sCollect, &entries));
    std::set<std::string> seen;
    for (const Entry &e : entries) {
        seen.insert(e.path);
        if (e.path == dir.file("file.bird")) {
            EXPECT_EQ(5u, e.size);
            EXPECT_EQ(0, e.isDirectory);
        } else {
            EXPECT_EQ(1, e.isDirectory) << e.path;
        }
    }
    EXPECT_EQ((std::set<std::string>{dir.file("."), dir.file(".."), dir.file("file.bird"),
                                     dir.file("sub")}),
              seen);
    EXPECT_EQ(4u, entries.size());

    entries.clear();
    EXPECT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), sStopAtOnce, &entries));
    EXPECT_EQ(1u, entries.size());

    entries.clear();
    EXPECT_EQ(aErrNotFound, aDirectory_List(dir.file("none").c_str(), sCollect, &entries));
    EXPECT_EQ(aErrNotFound, aDirectory_List(dir.file("file.bird").c_str(), sCollect, &entries));
    EXPECT_TRUE(entries.empty());
}

TEST(aDirectory, DeleteAndDeleteTree) {
    TempDir dir;
    std::string tree = dir.file("tree");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tree + "/a/b").c_str(), 0755));
    touch(tree + "/f1");
    touch(tree + "/a/b/f2");
    // A link to a folder outside is removed as a link; the folder it points to stays.
    std::string outside = dir.file("outside");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    touch(outside + "/precious");
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/a/link").c_str()));

    EXPECT_EQ(aErrUnknown, aDirectory_Delete(tree.c_str())); // not empty
    EXPECT_EQ(aErrNone, aDirectory_DeleteTree(tree.c_str()));
    EXPECT_FALSE(isDirectory(tree));
    EXPECT_TRUE(std::ifstream(outside + "/precious").good());
    EXPECT_EQ(aErrNotFound, aDirectory_DeleteTree(tree.c_str()));
    EXPECT_TRUE(isDirectory(outside));
}

TEST(aDirectory, CwdExecutableAndHome) {
    char buffer[4096];
    ASSERT_EQ(aErrNone, aDirectory_CWD(buffer, sizeof(buffer)));
    char expected[4096];
    ASSERT_NE(nullptr, getcwd(expected, sizeof(expected)));
    EXPECT_STREQ(expected, buffer);
    char tiny[2];
    EXPECT_EQ(aErrParam, aDirectory_CWD(tiny, sizeof(tiny)));

    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(buffer, sizeof(buffer)));
    EXPECT_NE(nullptr, strstr(buffer, "test_common"));
    char shortPath[5];
    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(shortPath, sizeof(shortPath)));
    EXPECT_EQ(4u, strlen(shortPath));

    ASSERT_EQ(aErrNone, aDirectory_GetHomeDirectory(buffer, sizeof(buffer)));
    EXPECT_GT(strlen(buffer), 0u);
    char cut[3];
    ASSERT_EQ(aErrNone, aDirectory_GetHomeDirectory(cut, sizeof(cut)));
    EXPECT_EQ(0, strncmp(buffer, cut, 2));
    EXPECT_EQ(2u, strlen(cut));
}

TEST(aDirectory, BackwardsMemcmp) {
    const char *text = "a/b/c";
    EXPECT_EQ(text + 3, backwards_memcmp(text, "/"));
    EXPECT_EQ(text, backwards_memcmp(text, ""));
    EXPECT_EQ(text, backwards_memcmp(text, "a/"));
    EXPECT_EQ(text + 4, backwards_memcmp(text, "c"));
    EXPECT_EQ(nullptr, backwards_memcmp(text, "x"));
    EXPECT_EQ(nullptr, backwards_memcmp("ab", "abc"));
    EXPECT_EQ(text, backwards_memcmp(text, text));
    const char *repeated = "abab";
    EXPECT_EQ(repeated + 2, backwards_memcmp(repeated, "ab"));
}
