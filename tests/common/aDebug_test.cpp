#include "aDebug.h"

#include <gtest/gtest.h>

namespace {
// Restores the switches whatever a test leaves behind.
struct DebugSwitches : testing::Test {
    void TearDown() override {
        aCorvantisDebuggingEnable = 0;
        aCorvantisDebuggingLevel = 0;
    }
};
} // namespace

TEST_F(DebugSwitches, OffByDefaultAndNeedBothSwitches) {
    EXPECT_EQ(0, aCorvantisDebuggingEnable.load());
    EXPECT_EQ(0u, aCorvantisDebuggingLevel.load());
    EXPECT_FALSE(aDebug_Enabled(aDEBUG_LINK));

    aCorvantisDebuggingLevel = aDEBUG_USB | aDEBUG_LINK;
    EXPECT_FALSE(aDebug_Enabled(aDEBUG_USB));
    aCorvantisDebuggingEnable = 1;
    EXPECT_TRUE(aDebug_Enabled(aDEBUG_USB));
    EXPECT_TRUE(aDebug_Enabled(aDEBUG_LINK));
    EXPECT_FALSE(aDebug_Enabled(aDEBUG_PACKETS));
    EXPECT_FALSE(aDebug_Enabled(aDEBUG_BEACON));
}

TEST_F(DebugSwitches, TraceLinesGoToStandardOutput) {
    testing::internal::CaptureStdout();
    aDEBUG_TRACE(aDEBUG_SERVER, "hidden %d\n", 1);
    aCorvantisDebuggingEnable = 1;
    aCorvantisDebuggingLevel = aDEBUG_SERVER;
    aDEBUG_TRACE(aDEBUG_SERVER, "shown %d\n", 2);
    aDEBUG_TRACE(aDEBUG_CLIENT, "hidden %d\n", 3);
    EXPECT_EQ("shown 2\n", testing::internal::GetCapturedStdout());
}
