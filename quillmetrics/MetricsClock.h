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

// What the platform layer supplies: a monotonic tick counter with a fixed frequency, and the UTC
// time as a FILETIME count.
uint64_t PlatformTickCount();
uint64_t PlatformTickFrequency();
uint64_t PlatformFileTime();

}  // namespace Metrics
