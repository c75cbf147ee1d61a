#include "unix_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {
void sRecord(uint32_t microseconds, void *reference) {
    static_cast<std::vector<uint32_t> *>(reference)->push_back(microseconds);
}
struct Totals {
    uint64_t sum = 0;
    uint32_t largest = 0;
};

void sSum(uint32_t microseconds, void *reference) {
    Totals *totals = static_cast<Totals *>(reference);
    totals->sum += microseconds;
    if (microseconds > totals->largest)
        totals->largest = microseconds;
}
} // namespace

TEST(aTime, SleepSlicing) {
    struct Case {
        uint32_t ms;
        std::vector<uint32_t> slices;
    };
    const Case cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ms);
        std::vector<uint32_t> slices;
        EXPECT_EQ(c.slices.size(), aTime_SleepSliced(c.ms, sRecord, &slices));
        EXPECT_EQ(c.slices, slices);
    }

    // The largest request is covered exactly, in slices that never exceed the limit.
    Totals totals;
    aTime_SleepSliced(UINT32_MAX, sSum, &totals);
    EXPECT_LE(totals.largest, aTIME_MAXSLICE_US);
    EXPECT_EQ(static_cast<uint64_t>(UINT32_MAX) * 1000u, totals.sum);
}

TEST(aTime, SleepsAtLeastTheTime) {
    using namespace std::chrono;
    auto start = steady_clock::now();
    aTime_MSSleep(0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(50));

    start = steady_clock::now();
    aTime_MSSleep(30);
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
}

TEST(aTime, TicksFollowTheWallClock) {
    using namespace std::chrono;
    uint64_t before = static_cast<uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    uint64_t ticks = aTime_GetMSTicks();
    uint64_t after = static_cast<uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
}
