#pragma once

#include <cstdint>

namespace Metrics {

// FILETIME of 1970-01-01 00:00:00 UTC: 100-ns intervals since 1601-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// Nanoseconds for a tick count: (ticks - start) in wrapping arithmetic, through a double, times
// factor, truncated toward zero.
uint64_t TicksToNanoseconds(uint64_t ticks, uint64_t startTicks, double nsPerTick);

// Splits a FILETIME count into Unix seconds and microseconds; both 0 before 1970.
void FileTimeToDateTime(uint64_t fileTime, unsigned long long& seconds, uint32_t& microseconds);

// The event clock: nanoseconds since the library was loaded, and the wall clock.
uint64_t GetTimestampNs();
void GetDateTime(unsigned long long& seconds, uint32_t& microseconds);

// Returns once the clock reads later than stamp. An emit that waits so before it returns gives
// every event that happens after it, on any thread, a later stamp: with a coarse clock (100 ns
// steps on Windows) two events ordered by the host's own synchronisation would otherwise share
// a stamp, and nothing would tell their order. Returns at once on a clock of 1 ns steps.
void WaitPastTimestamp(uint64_t stamp) noexcept;

// How far a tick source moves at each step, in nanoseconds, as measured by reading it back to
// back: 1 when no two readings in a row are equal (it moves faster than it can be read, so the
// rest of an emit outlasts a step), else the smallest step seen (a millisecond when it did not
// move at all while it was read).
uint64_t MeasureTickStepNs(uint64_t (*ticks)(), double nsPerTick);

// Tests only: reads ticks (at the platform's frequency) from another source, whose step is
// measured; null restores the platform's.
void SetTickSourceForTesting(uint64_t (*ticks)());

// What the platform layer supplies: a monotonic tick counter with a fixed frequency, and the UTC
// time as a FILETIME count.
uint64_t PlatformTickCount();
uint64_t PlatformTickFrequency();
// How far the tick counter moves at each step, in nanoseconds (at least 1): from its frequency
// where the system states it, else measured.
uint64_t PlatformTickStepNs();
uint64_t PlatformFileTime();

}  // namespace Metrics
