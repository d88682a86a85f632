#include <limits>

#include "MetricsClock.h"

namespace Metrics {

namespace {

// Both are written once during static initialisation, before any exported function can run, and
// only read afterwards.
const uint64_t s_startTicks = PlatformTickCount();
const double s_nsPerTick = 1e9 / static_cast<double>(PlatformTickFrequency());

}  // namespace

uint64_t TicksToNanoseconds(uint64_t ticks, uint64_t startTicks, double nsPerTick) {
    const uint64_t elapsed = ticks - startTicks;
    const double ns = static_cast<double>(elapsed) * nsPerTick;
    // 2^64 as a double; products at or beyond it cannot be represented and saturate.
    constexpr double kLimit = 18446744073709551616.0;
    if (!(ns < kLimit)) {
        return ns >= kLimit ? std::numeric_limits<uint64_t>::max() : 0;
    }
    return ns <= 0.0 ? 0 : static_cast<uint64_t>(ns);
}

void FileTimeToDateTime(uint64_t fileTime, unsigned long long& seconds, uint32_t& microseconds) {
    seconds = 0;
    microseconds = 0;
    if (fileTime < kUnixEpochFileTime) {
        return;
    }
    seconds = (fileTime - kUnixEpochFileTime) / 10000000ULL;
    microseconds = static_cast<uint32_t>((fileTime / 10ULL) % 1000000ULL);
}

uint64_t GetTimestampNs() {
    return TicksToNanoseconds(PlatformTickCount(), s_startTicks, s_nsPerTick);
}

void GetDateTime(unsigned long long& seconds, uint32_t& microseconds) {
    seconds = 0;
    microseconds = 0;
    FileTimeToDateTime(PlatformFileTime(), seconds, microseconds);
}

}  // namespace Metrics
