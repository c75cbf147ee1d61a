#include "KeyValueStore.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "../unix/TempDir.h"
#include "Log.h"

namespace {
std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

// A time text of the C library form, e.g. "Thu Dec  9 17:59:03 2021".
const std::regex kTimeText("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                           "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                           "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

// Captures the diagnostic log on the settings package for one test. A pipe, not a file, so a
// file size limit set by a test does not cut the log.
class LogCapture {
public:
    LogCapture() : saved_(Log::ActivePackages()) {
        int fds[2] = {-1, -1};
        if (pipe(fds) == 0) {
            read_ = fds[0];
            fcntl(read_, F_SETFL, O_NONBLOCK);
            file_ = fdopen(fds[1], "w");
            setvbuf(file_, nullptr, _IONBF, 0);
        }
        Log::SetOutput(file_);
        Log::ActivatePackage(DEBUG_Attributes);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(~0u);
        Log::ActivatePackage(saved_);
        if (file_)
            fclose(file_);
        if (read_ >= 0)
            close(read_);
    }
    std::string text() {
        char buffer[512];
        ssize_t n;
        while (read_ >= 0 && (n = read(read_, buffer, sizeof(buffer))) > 0)
            text_.append(buffer, static_cast<size_t>(n));
        return text_;
    }

private:
    unsigned saved_;
    FILE *file_ = nullptr;
    int read_ = -1;
    std::string text_;
};
} // namespace

TEST(KeyValueStore, TimeTextForm) {
    std::string text = KeyValueStore::TimeText();
    EXPECT_EQ(24u, text.size());
    EXPECT_TRUE(std::regex_match(text, kTimeText)) << text;
    // The same fields as the C library's own text.
    time_t now = time(nullptr);
    char reference[32];
    ctime_r(&now, reference);
    EXPECT_EQ(std::string(reference, 11), text.substr(0, 11)); // weekday, month, day
}

TEST(KeyValueStore, LoadingAMissingFileCreatesIt) {
    TempDir dir;
    std::string path = dir.file(".settings");
    LogCapture log;
    KeyValueStore store(path.c_str());
    ASSERT_TRUE(exists(path));
    std::vector<std::string> written = lines(readFile(path));
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0u, written[0].find("CREATED_TIME="));
    EXPECT_EQ(0u, written[1].find("UPDATED_TIME="));
    EXPECT_TRUE(std::regex_match(written[0].substr(13), kTimeText)) << written[0];
    EXPECT_TRUE(std::regex_match(written[1].substr(13), kTimeText)) << written[1];
    EXPECT_EQ(2u, store.Entries().size());
    EXPECT_EQ(written[0].substr(13), store.GetString("CREATED_TIME"));
    EXPECT_FALSE(store.Changed());
    EXPECT_EQ(path, store.FileName());
    EXPECT_EQ("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n", log.text());
    // No temporary file stays behind.
    int count = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(1, count);
}

TEST(KeyValueStore, LoadingInAMissingFolder) {
    TempDir dir;
    std::string path = dir.file("none/.settings");
    LogCapture log;
    KeyValueStore store;
    EXPECT_NE(aErrNone, store.Load(path.c_str()));
    EXPECT_FALSE(exists(path));
    EXPECT_NE(nullptr, store["CREATED_TIME"]);
    EXPECT_NE(nullptr, store["UPDATED_TIME"]);
    EXPECT_EQ(2u, store.Entries().size());
    EXPECT_FALSE(store.Changed());
    EXPECT_EQ("Attibutes: Error - cannot open attributes file: '" + path +
                  "' (2)\nAttibutes: Error - cannot open attributes file for writting: '" + path +
                  "' (2)\n",
              log.text());
}

TEST(KeyValueStore, Reader) {
    TempDir dir;
    std::string path = dir.file("s");
    writeFile(path, "  KEY  =  some value  \r\n"
                    "KEY2=a=b\n"
                    "#HIDDEN=1\n"
                    " #KEY=1\n"
                    "A=\n"
                    "AB\n"
                    "B\n"
                    "\n"
                    "SPACED = x  y \n"
                    "KEY2=second\n"
                    "TAB\t=\tvalue\t\n"
                    "LAST=no line end");
    KeyValueStore store(path.c_str());
    const std::map<std::string, std::string> expected = {
        {"KEY", "some value"}, {"KEY2", "second"}, {"#KEY", "1"},           {"A", ""}, {"AB", ""},
        {"SPACED", "x  y"},    {"TAB", "value"},   {"LAST", "no line end"},
    };
    EXPECT_EQ(expected, store.Entries());
    EXPECT_FALSE(store.Changed());
    EXPECT_EQ(nullptr, store["HIDDEN"]);
    EXPECT_EQ(nullptr, store["#HIDDEN"]);
    EXPECT_EQ(nullptr, store["B"]);
}

TEST(KeyValueStore, ReaderStopsAtAnOverlongLine) {
    TempDir dir;
    std::string path = dir.file("s");
    // 2046 characters and the line end just fit the 2048-byte buffer; one more does not.
    std::string fits = "FIT=" + std::string(2042, 'v');
    std::string tooLong = "LONG=" + std::string(2042, 'v');
    writeFile(path, "FIRST=1\n" + fits + "\n" + tooLong + "\nAFTER=2\n");
    KeyValueStore store(path.c_str());
    EXPECT_STREQ("1", store["FIRST"]);
    ASSERT_NE(nullptr, store["FIT"]);
    EXPECT_EQ(2042u, strlen(store["FIT"]));
    EXPECT_EQ(nullptr, store["LONG"]);
    EXPECT_EQ(nullptr, store["AFTER"]);
}

TEST(KeyValueStore, LoadMergesIntoTheRecord) {
    TempDir dir;
    std::string path = dir.file("s");
    writeFile(path, "B=file\nC=3\n");
    KeyValueStore store;
    store.Add("A", "mine");
    store.Add("B", "mine");
    EXPECT_TRUE(store.Changed());
    EXPECT_EQ(aErrNone, store.Load(path.c_str()));
    EXPECT_FALSE(store.Changed());
    EXPECT_STREQ("mine", store["A"]);
    EXPECT_STREQ("file", store["B"]);
    EXPECT_STREQ("3", store["C"]);
}

TEST(KeyValueStore, TypedValues) {
    KeyValueStore store;
    EXPECT_TRUE(store.AddHex("HEX", 255));
    EXPECT_STREQ("0x000000FF", store["HEX"]);
    EXPECT_EQ(255u, store.GetHex("HEX", 7));
    EXPECT_EQ(0, store.GetInt("HEX", 7));

    store.Add("BUILD", "12345.bird");
    EXPECT_EQ(12345, store.GetInt("BUILD", 0));
    store.Add("WORD", "abc");
    EXPECT_EQ(0, store.GetInt("WORD", 9));
    store.Add("PLAINHEX", "DEADDEAD");
    EXPECT_EQ(0xDEADDEADu, store.GetHex("PLAINHEX", 0));

    store.Add("NEG", -42);
    EXPECT_STREQ("-42", store["NEG"]);
    EXPECT_EQ(-42, store.GetInt("NEG", 0));
    EXPECT_TRUE(store.GetBOOL("NEG", false));
    store.Add("ZERO", 0);
    EXPECT_FALSE(store.GetBOOL("ZERO", true));

    store.Add("PI", 3.25);
    EXPECT_STREQ("3.250000", store["PI"]);
    EXPECT_DOUBLE_EQ(3.25, store.GetDouble("PI", 0));

    store.Add("EMPTY", "");
    EXPECT_EQ(5, store.GetInt("EMPTY", 5));
    EXPECT_EQ(6u, store.GetHex("EMPTY", 6));
    EXPECT_TRUE(store.GetBOOL("EMPTY", true));
    EXPECT_DOUBLE_EQ(1.5, store.GetDouble("EMPTY", 1.5));
    EXPECT_EQ("", store.GetString("EMPTY", "default"));
    EXPECT_EQ("default", store.GetString("ABSENT", "default"));
    EXPECT_EQ("", store.GetString("ABSENT"));
    std::string text = "from string";
    store.Add("STR", text);
    EXPECT_EQ(text, store.GetString("STR"));
}

TEST(KeyValueStore, TypedGettersEnterAbsentKeys) {
    TempDir dir;
    std::string path = dir.file("s");
    writeFile(path, "");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(17, store.GetInt("INT", 17));
    EXPECT_EQ(3u, store.GetHex("HEX", 3));
    EXPECT_TRUE(store.GetBOOL("BOOL", true));
    EXPECT_DOUBLE_EQ(2.5, store.GetDouble("DOUBLE", 2.5));
    EXPECT_EQ("x", store.GetString("STRING", "x"));
    EXPECT_EQ(nullptr, store["LOOKUP"]);
    EXPECT_FALSE(store.Changed());
    ASSERT_EQ(aErrNone, store.Save());
    // Unchanged record: no UPDATED_TIME stamp; the getters' keys are written empty.
    EXPECT_EQ("BOOL=\nDOUBLE=\nHEX=\nINT=\n", readFile(path));
}

TEST(KeyValueStore, ChangedFlag) {
    TempDir dir;
    std::string path = dir.file("s");
    writeFile(path, "");
    KeyValueStore store(path.c_str());
    EXPECT_FALSE(store.Changed());
    store.Add("EMPTY", ""); // absent counts as empty: no change
    EXPECT_FALSE(store.Changed());
    EXPECT_STREQ("", store["EMPTY"]);
    store.Add("N", 5);
    EXPECT_TRUE(store.Changed());
    ASSERT_EQ(aErrNone, store.Save(nullptr));
    EXPECT_FALSE(store.Changed());
    std::vector<std::string> written = lines(readFile(path));
    ASSERT_EQ(3u, written.size());
    EXPECT_EQ("EMPTY=", written[0]);
    EXPECT_EQ("N=5", written[1]);
    EXPECT_EQ(0u, written[2].find("UPDATED_TIME="));
    EXPECT_TRUE(std::regex_match(written[2].substr(13), kTimeText));

    store.Add("N", 5); // same text again
    EXPECT_FALSE(store.Changed());
    store.Add("N", 6);
    EXPECT_TRUE(store.Changed());

    KeyValueStore other;
    other.Add("N", 6);
    ASSERT_EQ(aErrNone, store.Save());
    store.Add(other); // marks changed even though nothing differs
    EXPECT_TRUE(store.Changed());
    EXPECT_STREQ("6", store["N"]);

    ASSERT_EQ(aErrNone, store.Save());
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.Changed());
    EXPECT_TRUE(store.Entries().empty());
}

TEST(KeyValueStore, WriterOrderAndCopy) {
    TempDir dir;
    std::string path = dir.file("s");
    KeyValueStore store;
    store.Add("B", "1");
    store.Add("a", "2");
    store.Add("_", "3");
    store.Add("CREATED_TIME", "t0");
    store.Add("LAST_DOWNLOAD_DATE", "t1");
    KeyValueStore copy(store);
    ASSERT_EQ(aErrNone, copy.Save(path.c_str()));
    std::vector<std::string> written = lines(readFile(path));
    ASSERT_EQ(6u, written.size());
    EXPECT_EQ("B=1", written[0]);
    EXPECT_EQ("CREATED_TIME=t0", written[1]);
    EXPECT_EQ("LAST_DOWNLOAD_DATE=t1", written[2]);
    EXPECT_EQ(0u, written[3].find("UPDATED_TIME="));
    EXPECT_EQ("_=3", written[4]);
    EXPECT_EQ("a=2", written[5]);
    // The copy saved; the original is untouched.
    EXPECT_TRUE(store.Changed());
    EXPECT_TRUE(store.FileName().empty());
    EXPECT_EQ(nullptr, store["UPDATED_TIME"]);

    KeyValueStore assigned;
    assigned = copy;
    EXPECT_EQ(copy.Entries(), assigned.Entries());
    EXPECT_EQ(path, assigned.FileName());
    EXPECT_FALSE(assigned.Changed());

    // What was written reads back the same.
    KeyValueStore reread(path.c_str());
    EXPECT_EQ(copy.Entries(), reread.Entries());
}

TEST(KeyValueStore, SaveWithoutAnyNameUsesTheDefault) {
    TempDir dir;
    LogCapture log;
    {
        WorkIn in(dir.path());
        ASSERT_TRUE(in.moved);
        KeyValueStore store;
        store.Add("K", "v");
        EXPECT_EQ(aErrNone, store.Save());
        EXPECT_EQ(".settings", store.FileName());
    }
    EXPECT_EQ(0u, readFile(dir.file(".settings")).find("K=v\nUPDATED_TIME="));
    EXPECT_EQ("Attibutes: no filename given for attributes, using default:[.settings]\n",
              log.text());
}

TEST(KeyValueStore, FailedSaveLeavesTheOldFile) {
    TempDir dir;
    std::string path = dir.file("s");
    const std::string old = "OLD=1\n";
    writeFile(path, old);
    KeyValueStore store(path.c_str());
    store.Add("BIG", std::string(4096, 'x'));

    // Let the process write no more than 64 bytes into any file: the save fails mid-way.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    LogCapture log;
    aErr err = store.Save();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_NE(aErrNone, err);
    EXPECT_EQ(old, readFile(path));
    EXPECT_TRUE(store.Changed());
    EXPECT_EQ(0u, log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                                  path + "' ("));
    int count = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(1, count) << "the temporary file was left behind";

    // Once writing works again the same record saves.
    EXPECT_EQ(aErrNone, store.Save());
    EXPECT_EQ(0u, readFile(path).find("BIG=xxxx"));
}

TEST(KeyValueStore, SaveIntoAMissingFolderFails) {
    TempDir dir;
    std::string path = dir.file("none/s");
    KeyValueStore store;
    store.Add("K", 1);
    LogCapture log;
    EXPECT_NE(aErrNone, store.Save(path.c_str()));
    EXPECT_TRUE(store.Changed());
    EXPECT_EQ(path, store.FileName());
    EXPECT_FALSE(exists(path));
}
