#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "MetricsClock.h"

namespace Metrics::Testing {
namespace {

TEST(MetricsClockTest, TimestampTruncatesThroughDouble) {
    // A 10 MHz counter: 100 ns per tick.
    EXPECT_EQ(TicksToNanoseconds(1003, 1000, 100.0), 300u);
    // A factor that is not a whole number drops the fractional nanoseconds.
    EXPECT_EQ(TicksToNanoseconds(10, 0, 1e9 / 3e9), 3u);
    EXPECT_EQ(TicksToNanoseconds(7, 7, 100.0), 0u);
}

TEST(MetricsClockTest, DifferenceWithTopBitSetIsUnsigned) {
    // The counter wrapped: the difference is taken modulo 2^64 and read as unsigned.
    const uint64_t start = 0xC000000000000000ULL;
    const uint64_t ticks = start + 0xC000000000000000ULL;  // wraps past zero
    EXPECT_EQ(TicksToNanoseconds(ticks, start, 0.5), 0x6000000000000000ULL);
    // Products of 2^63 and above convert as unsigned values.
    EXPECT_EQ(TicksToNanoseconds(0x9000000000000000ULL, 0, 1.0), 0x9000000000000000ULL);
    // Beyond 2^64 nothing can be represented: the value saturates instead of overflowing.
    EXPECT_EQ(TicksToNanoseconds(0xFFFFFFFFFFFFFFFFULL, 0, 4.0), 0xFFFFFFFFFFFFFFFFULL);
}

// Sources read back to back: one that moves at every reading, one that moves by 1000 ticks every
// tenth reading, one that never moves.
uint64_t Moving() {
    static uint64_t ticks = 0;
    return ticks += 7;
}
uint64_t Stepping() {
    static uint64_t readings = 0;
    return ++readings / 10 * 1000;
}
uint64_t Stuck() { return 5; }

// The step is measured rather than taken from clock_getres (the timers' resolution): a clock that
// moves between any two readings needs no wait, a coarse one waits its step.
TEST(MetricsClockTest, TickStepIsMeasured) {
    EXPECT_EQ(MeasureTickStepNs(&Moving, 1.0), 1u);
    EXPECT_EQ(MeasureTickStepNs(&Stepping, 0.5), 500u);
    EXPECT_EQ(MeasureTickStepNs(&Stuck, 1.0), 1000000u);
}

TEST(MetricsClockTest, FileTimeSplitsIntoUnixSecondsAndMicroseconds) {
    unsigned long long seconds = 99;
    uint32_t micros = 99;
    FileTimeToDateTime(116444736012345678ULL, seconds, micros);
    EXPECT_EQ(seconds, 1u);
    EXPECT_EQ(micros, 234567u);

    FileTimeToDateTime(kUnixEpochFileTime - 1, seconds, micros);
    EXPECT_EQ(seconds, 0u);
    EXPECT_EQ(micros, 0u);

    FileTimeToDateTime(kUnixEpochFileTime, seconds, micros);
    EXPECT_EQ(seconds, 0u);
    EXPECT_EQ(micros, 0u);
}

TEST(MetricsClockTest, PlatformClocksFeedTheAlgorithms) {
    const uint64_t first = GetTimestampNs();
    const uint64_t second = GetTimestampNs();
    EXPECT_LE(first, second);

    unsigned long long seconds = 0;
    uint32_t micros = 0;
    GetDateTime(seconds, micros);
    const auto now = static_cast<unsigned long long>(std::time(nullptr));
    EXPECT_LE(seconds, now);
    EXPECT_GE(seconds + 2, now);
    EXPECT_LT(micros, 1000000u);

    // The fraction too: within a few of the coarse clock's ticks of the system's time.
    for (int i = 0; i < 5; ++i) {
        GetDateTime(seconds, micros);
        const auto system = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const long long ours = static_cast<long long>(seconds) * 1000000LL + micros;
        EXPECT_LT(std::llabs(system - ours), 50000LL) << "ours " << ours << ", system " << system;
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
}

}  // namespace
}  // namespace Metrics::Testing
