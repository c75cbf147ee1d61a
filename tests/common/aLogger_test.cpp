#include "aLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "../unix/TempDir.h"

namespace {
std::atomic<int> sCalls{0};
std::atomic<uint32_t> sParameter{0};

void sWriteLine(aFileRef file, uint32_t parameter) {
    sParameter = parameter;
    aFile_Printf(file, "line %d\n", sCalls.fetch_add(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool sWaitForCalls(int count) {
    for (int i = 0; i < 2000 && sCalls.load() < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return sCalls.load() >= count;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Tries to stop and to destroy its own logger from the logger thread.
std::atomic<aLoggerRef> sSelf{nullptr};
std::atomic<aErr> sSelfDisable{99}, sSelfDestroy{99};
void sSelfStop(aFileRef, uint32_t) {
    aLoggerRef self = sSelf.load();
    if (sSelfDisable.load() == 99) {
        sSelfDisable = aLogger_Disable(self);
        aLoggerRef copy = self;
        sSelfDestroy = aLogger_Destroy(&copy);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
} // namespace

TEST(aLogger, CreateNeedsAWritableFile) {
    TempDir dir;
    EXPECT_EQ(nullptr, aLogger_Create(1, sWriteLine, dir.file("no/such/folder/log").c_str()));
    EXPECT_EQ(nullptr, aLogger_Create(1, sWriteLine, nullptr));
    EXPECT_EQ(nullptr, aLogger_Create(1, nullptr, dir.file("log").c_str()));
}

TEST(aLogger, EnableRunsTheProcedureUntilDisabled) {
    TempDir dir;
    std::string path = dir.file("log");
    {
        std::ofstream out(path);
        out << "before\n";
    }
    sCalls = 0;
    aLoggerRef logger = aLogger_Create(0x1234, sWriteLine, path.c_str());
    ASSERT_NE(nullptr, logger);
    EXPECT_TRUE(aVALIDLOGGER(logger));
    // Never enabled: nothing to stop.
    EXPECT_EQ(aErrNone, aLogger_Disable(logger));
    EXPECT_EQ(0, sCalls.load());

    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_EQ(aErrNone, aLogger_Enable(logger)); // already running
    EXPECT_TRUE(sWaitForCalls(3));
    EXPECT_EQ(0x1234u, sParameter.load());
    EXPECT_EQ(aErrNone, aLogger_Disable(logger));
    int stopped = sCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stopped, sCalls.load());

    // The file is appended to and unbuffered: every line is there before destroy.
    std::string text = readFile(path);
    EXPECT_EQ(0u, text.find("before\nline 0\nline 1\n"));

    // A stopped logger starts again.
    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_TRUE(sWaitForCalls(stopped + 2));
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
    EXPECT_EQ(nullptr, logger);
}

TEST(aLogger, InvalidHandles) {
    EXPECT_EQ(aErrParam, aLogger_Enable(nullptr));
    EXPECT_EQ(aErrParam, aLogger_Disable(nullptr));
    aLoggerRef none = nullptr;
    EXPECT_EQ(aErrNone, aLogger_Destroy(&none));
    EXPECT_EQ(aErrNone, aLogger_Destroy(nullptr));
    EXPECT_FALSE(aVALIDLOGGER(nullptr));
}

TEST(aLogger, TheLoggerThreadCannotStopOrFreeItself) {
    TempDir dir;
    aLoggerRef logger = aLogger_Create(0, sSelfStop, dir.file("log").c_str());
    ASSERT_NE(nullptr, logger);
    sSelf = logger;
    ASSERT_EQ(aErrNone, aLogger_Enable(logger));
    for (int i = 0; i < 2000 && sSelfDestroy.load() == 99; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(aErrNone, sSelfDisable.load());
    EXPECT_EQ(aErrBusy, sSelfDestroy.load());
    // The logger survived and is stopped from outside.
    EXPECT_TRUE(aVALIDLOGGER(logger));
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
    EXPECT_EQ(nullptr, logger);
}
