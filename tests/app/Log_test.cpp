#include "Log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::DeactivatePackage(0xFFFFFFFFu);
        file = tmpfile();
        Log::SetOutput(file);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(file);
    }
    std::string text() {
        fflush(file);
        rewind(file);
        std::string t;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), file)) > 0)
            t.append(buf, n);
        return t;
    }
    FILE *file = nullptr;
};

TEST_F(LogTest, PackagesGateLines) {
    Log::log(0, "always %d\n", 0);
    Log::log(DEBUG_Network_FIRM, "firm\n");
    Log::ActivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "firm\n");
    Log::log(DEBUG_Updater, "updater\n");
    // A line of several packages is written when any of them is active.
    Log::log(DEBUG_Updater | DEBUG_Network_FIRM, "either");
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "firm again\n");
    EXPECT_EQ(text(), "always 0\nfirm\neither");
}

TEST_F(LogTest, LongLineCutTo2047Characters) {
    std::string line(3000, 'x');
    line[2046] = 'y';
    line[2047] = 'z';
    Log::log(0, "%s", line.c_str());
    EXPECT_EQ(text(), line.substr(0, 2047));
}

TEST_F(LogTest, NoOutputStreamWritesNothing) {
    Log::SetOutput(nullptr);
    Log::log(0, "lost\n");
    Log::SetOutput(file);
    EXPECT_EQ(text(), "");
}

} // namespace
