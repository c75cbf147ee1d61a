#include "unix_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace {

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A path of exactly length bytes below dir that names dir/name: "./" steps pad it out.
std::string paddedPath(const std::string &dir, const std::string &name, size_t length) {
    std::string path = dir + "/";
    std::string tail = name;
    while (path.size() + tail.size() + 2 <= length)
        path += "./";
    if (path.size() + tail.size() < length)
        path += "/";
    return path + tail;
}

} // namespace

TEST(aFile, OpenRefusesBadArguments) {
    TempDir dir;
    std::string path = dir.file("f");
    writeFile(path, "x");
    EXPECT_EQ(nullptr, aFile_Open(nullptr, aFileModeReadOnly));
    EXPECT_EQ(nullptr, aFile_Open("", aFileModeReadOnly));
    EXPECT_EQ(nullptr, aFile_Open(path.c_str(), aFileModeUnknown));
    EXPECT_EQ(nullptr, aFile_Open(path.c_str(), static_cast<aFileMode>(-1)));
    EXPECT_EQ(nullptr, aFile_Open(dir.file("missing").c_str(), aFileModeReadOnly));
}

TEST(aFile, PathLengthLimit) {
    TempDir dir;
    writeFile(dir.file("f"), "data");

    // Long paths up to the system's own limit work.
    std::string fits = paddedPath(dir.path(), "f", 4095);
    ASSERT_EQ(4095u, fits.size());
    aFileRef file = aFile_Open(fits.c_str(), aFileModeReadOnly);
    EXPECT_NE(nullptr, file);
    aFile_Close(&file);
    EXPECT_TRUE(aFile_Exists(fits.c_str()));

    // 4096 bytes are handed to the system, which refuses them itself; 4097 never get there.
    std::string at = paddedPath(dir.path(), "f", 4096);
    ASSERT_EQ(4096u, at.size());
    errno = 0;
    EXPECT_EQ(nullptr, aFile_Open(at.c_str(), aFileModeReadOnly));
    EXPECT_EQ(ENAMETOOLONG, errno);

    std::string over = paddedPath(dir.path(), "f", 4097);
    ASSERT_EQ(4097u, over.size());
    errno = 0;
    EXPECT_EQ(nullptr, aFile_Open(over.c_str(), aFileModeReadOnly));
    EXPECT_EQ(0, errno);
    EXPECT_FALSE(aFile_Exists(over.c_str()));
    EXPECT_EQ(aErrFileNameLength, aFile_Delete(over.c_str()));
    EXPECT_NE(aErrFileNameLength, aFile_Delete(at.c_str()));
}

TEST(aFile, CloseNullsHandleAndRejectsInvalid) {
    TempDir dir;
    aFileRef file = aFile_Open(dir.file("w").c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(aVALIDFILE(file));
    EXPECT_EQ(aErrNone, aFile_Close(&file));
    EXPECT_EQ(nullptr, file);
    EXPECT_EQ(aErrParam, aFile_Close(&file));
    EXPECT_EQ(aErrParam, aFile_Close(nullptr));

    // A record without the validity word never reaches stdio.
    alignas(16) unsigned char garbage[64] = {};
    aFileRef fake = reinterpret_cast<aFileRef>(garbage);
    EXPECT_FALSE(aVALIDFILE(fake));
    uint8_t b;
    EXPECT_EQ(aErrParam, aFile_Read(fake, &b, 1, nullptr));
    EXPECT_EQ(aErrParam, aFile_Write(fake, &b, 1, nullptr));
    EXPECT_EQ(aErrParam, aFile_Seek(fake, 0, aSeekStart));
    EXPECT_EQ(aErrParam, aFile_Close(&fake));
    EXPECT_EQ(nullptr, fake);
}

TEST(aFile, ModesGuardReadAndWrite) {
    TempDir dir;
    std::string path = dir.file("m");
    aFileRef w = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, w);
    const uint8_t data[] = {'h', 'i', '\n'};
    size_t count = 0;
    EXPECT_EQ(aErrNone, aFile_Write(w, data, sizeof(data), &count));
    EXPECT_EQ(3u, count);
    uint8_t buffer[8];
    EXPECT_EQ(aErrMode, aFile_Read(w, buffer, sizeof(buffer), &count));
    char line[8];
    EXPECT_EQ(aErrMode, aFile_ReadLine(w, line, sizeof(line), nullptr));
    EXPECT_EQ(aErrNone, aFile_Printf(w, "%d-%s\n", 42, "x"));
    aFile_Close(&w);
    EXPECT_EQ("hi\n42-x\n", readFile(path));

    aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(aErrMode, aFile_Write(r, data, 1, &count));
    EXPECT_EQ(aErrMode, aFile_Printf(r, "x"));
    EXPECT_EQ(aErrMode, aFile_SetUnbuffered(r));
    EXPECT_EQ(aErrNone, aFile_Read(r, buffer, sizeof(buffer), &count));
    EXPECT_EQ(8u, count);
    EXPECT_EQ(aErrEOF, aFile_Read(r, buffer, sizeof(buffer), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(aErrNone, aFile_Read(r, buffer, 0, &count));
    aFile_Close(&r);
}

TEST(aFile, AppendStartsAtTheEndAndReadsBack) {
    TempDir dir;
    std::string path = dir.file("a");
    writeFile(path, "old\n");
    aFileRef a = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, a);
    uint8_t b;
    EXPECT_EQ(aErrEOF, aFile_Read(a, &b, 1, nullptr));
    EXPECT_EQ(aErrNone, aFile_SetUnbuffered(a));
    EXPECT_EQ(aErrNone, aFile_Printf(a, "new\n"));
    // Switching between writing and reading needs no seek from the caller.
    EXPECT_EQ(aErrEOF, aFile_Read(a, &b, 1, nullptr));
    EXPECT_EQ(aErrNone, aFile_Printf(a, "more\n"));
    EXPECT_EQ(aErrNone, aFile_Seek(a, 0, aSeekStart));
    char line[16];
    size_t length = 0;
    EXPECT_EQ(aErrNone, aFile_ReadLine(a, line, sizeof(line), &length));
    EXPECT_STREQ("old\n", line);
    aFile_Close(&a);
    EXPECT_EQ("old\nnew\nmore\n", readFile(path));
}

TEST(aFile, SeekBounds) {
    TempDir dir;
    std::string path = dir.file("s");
    writeFile(path, "0123456789");
    aFileRef f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    size_t size = 0;
    EXPECT_EQ(aErrNone, aFile_GetSize(f, &size));
    EXPECT_EQ(10u, size);

    struct Case {
        long offset;
        aFileSeekMode origin;
        aErr expected;
        int nextByte; // byte read after the seek, -1 for end of file
    };
    const Case cases[] = {
        {0, aSeekStart, aErrNone, '0'},  {10, aSeekStart, aErrNone, -1},
        {11, aSeekStart, aErrRange, -2}, {-1, aSeekStart, aErrRange, -2},
        {0, aSeekEnd, aErrNone, -1},     {1, aSeekEnd, aErrRange, -2},
        {-10, aSeekEnd, aErrNone, '0'},  {-11, aSeekEnd, aErrRange, -2},
        {-3, aSeekEnd, aErrNone, '7'},   {LONG_MIN, aSeekEnd, aErrRange, -2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " origin " << c.origin);
        EXPECT_EQ(aErrNone, aFile_Seek(f, 4, aSeekStart));
        EXPECT_EQ(c.expected, aFile_Seek(f, c.offset, c.origin));
        uint8_t b = 0;
        aErr read = aFile_Read(f, &b, 1, nullptr);
        if (c.nextByte == -2) { // a refused seek leaves the position alone
            EXPECT_EQ('4', b);
        } else if (c.nextByte == -1) {
            EXPECT_EQ(aErrEOF, read);
        } else {
            EXPECT_EQ(c.nextByte, b);
        }
    }

    // Relative to the current position.
    EXPECT_EQ(aErrNone, aFile_Seek(f, 4, aSeekStart));
    EXPECT_EQ(aErrNone, aFile_Seek(f, 6, aSeekCurrent));
    EXPECT_EQ(aErrNone, aFile_Seek(f, -10, aSeekCurrent));
    EXPECT_EQ(aErrRange, aFile_Seek(f, -1, aSeekCurrent));
    EXPECT_EQ(aErrRange, aFile_Seek(f, 11, aSeekCurrent));
    EXPECT_EQ(aErrParam, aFile_Seek(f, 0, static_cast<aFileSeekMode>(3)));
    aFile_Close(&f);
}

TEST(aFile, ReadLine) {
    TempDir dir;
    std::string path = dir.file("lines");
    writeFile(path, "abcd\nxy\nlast");

    struct Case {
        size_t bufferSize;
        std::string text;
        size_t length;
        aErr result;
    };
    // Reading goes on from where the previous row stopped.
    const Case cases[] = {
        {5, "abcd", 4, aErrOverrun}, // the line end stays unread
        {5, "\n", 1, aErrNone},      {6, "xy\n", 3, aErrNone},
        {6, "last", 4, aErrNone}, // a last line without line end
        {6, "", 0, aErrEOF},
    };
    aFileRef f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char buffer[16];
        size_t length = 99;
        EXPECT_EQ(c.result, aFile_ReadLine(f, buffer, c.bufferSize, &length));
        EXPECT_EQ(c.length, length);
        EXPECT_EQ(c.text, std::string(buffer));
    }
    aFile_Close(&f);

    f = aFile_Open(path.c_str(), aFileModeReadOnly);
    char buffer[6];
    size_t length = 0;
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, buffer, sizeof(buffer), &length));
    EXPECT_STREQ("abcd\n", buffer);
    EXPECT_EQ(5u, length);
    EXPECT_EQ(aErrParam, aFile_ReadLine(f, nullptr, 6, &length));
    EXPECT_EQ(aErrParam, aFile_ReadLine(f, buffer, 1, &length));
    aFile_Close(&f);
}

TEST(aFile, ExistsAndDelete) {
    TempDir dir;
    std::string path = dir.file("d");
    writeFile(path, "x");
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(dir.file("none").c_str()));

    EXPECT_EQ(aErrNone, aFile_Delete(path.c_str()));
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aErrNotFound, aFile_Delete(path.c_str()));
    EXPECT_EQ(aErrParam, aFile_Delete(nullptr));
    // A directory is not a file to delete.
    EXPECT_NE(aErrNone, aFile_Delete(dir.path().c_str()));
}
