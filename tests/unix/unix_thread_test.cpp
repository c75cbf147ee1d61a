#include "unix_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

namespace {
void *sStore(void *argument) {
    static_cast<std::atomic<int> *>(argument)->store(7);
    return nullptr;
}
} // namespace

TEST(aThread, RunsAndJoins) {
    std::atomic<int> value{0};
    aThreadRef t = aThread_Create(sStore, &value);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, aThread_Destroy(&t));
    EXPECT_EQ(nullptr, t);
    // Destroy waited for the thread to finish.
    EXPECT_EQ(7, value.load());
}

TEST(aThread, BadArguments) {
    EXPECT_EQ(nullptr, aThread_Create(nullptr, nullptr));
    aThreadRef none = nullptr;
    EXPECT_EQ(EINVAL, aThread_Destroy(&none));
    EXPECT_EQ(EINVAL, aThread_Destroy(nullptr));
    aThread_Yield();
}
