#include "MetricsClock.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

namespace Metrics {

namespace {

// Both are written once during static initialisation, before any exported function can run, and
// only read afterwards.
const uint64_t s_startTicks = PlatformTickCount();
const double s_nsPerTick = 1e9 / static_cast<double>(PlatformTickFrequency());

// The tick source and its step, replaced only by tests that need a coarse clock on any machine;
// null means the platform's, called directly.
std::atomic<uint64_t (*)()> s_tickSource{nullptr};
std::atomic<uint64_t> s_stepNs{PlatformTickStepNs()};

void Pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

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
    const auto source = s_tickSource.load(std::memory_order_relaxed);
    return TicksToNanoseconds(source == nullptr ? PlatformTickCount() : source(), s_startTicks,
                              s_nsPerTick);
}

void WaitPastTimestamp(uint64_t stamp) noexcept {
    // A clock of 1 ns steps has moved on already: more than a nanosecond passes between taking a
    // stamp and the end of the emit that took it.
    if (s_stepNs.load(std::memory_order_relaxed) <= 1) {
        return;
    }
    for (int spins = 0; GetTimestampNs() <= stamp; ++spins) {
        if (spins < 64) {
            Pause();
        } else {
            std::this_thread::yield();
        }
    }
}

uint64_t MeasureTickStepNs(uint64_t (*ticks)(), double nsPerTick) {
    // Some thousand readings: tens of microseconds, once, at load.
    constexpr int kReadings = 2000;
    bool tied = false;
    uint64_t smallest = std::numeric_limits<uint64_t>::max();
    uint64_t last = ticks();
    for (int i = 0; i < kReadings; ++i) {
        const uint64_t now = ticks();
        if (now == last) {
            tied = true;
        } else if (now > last) {
            smallest = std::min(smallest, now - last);
        }
        last = now;
    }
    if (!tied) {
        return 1;
    }
    if (smallest == std::numeric_limits<uint64_t>::max()) {
        return 1000000;
    }
    return std::max<uint64_t>(1, TicksToNanoseconds(smallest, 0, nsPerTick));
}

void SetTickSourceForTesting(uint64_t (*ticks)()) {
    s_stepNs.store(ticks != nullptr ? MeasureTickStepNs(ticks, s_nsPerTick) : PlatformTickStepNs(),
                   std::memory_order_relaxed);
    s_tickSource.store(ticks, std::memory_order_relaxed);
}

void GetDateTime(unsigned long long& seconds, uint32_t& microseconds) {
    seconds = 0;
    microseconds = 0;
    FileTimeToDateTime(PlatformFileTime(), seconds, microseconds);
}

}  // namespace Metrics
