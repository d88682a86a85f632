#include "MetricsClock.h"
#include "PlatformWindows.h"

#if !defined(_WIN32)
#include <cstdio>
#include <cstring>
#include <ctime>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#endif

namespace Metrics {

#if defined(_WIN32)

uint64_t PlatformTickCount() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<uint64_t>(count.QuadPart);
}

uint64_t PlatformTickFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(frequency.QuadPart);
}

uint64_t PlatformTickStepNs() {
    const uint64_t frequency = PlatformTickFrequency();
    return frequency >= 1000000000ULL ? 1 : (1000000000ULL + frequency - 1) / frequency;
}

uint64_t PlatformFileTime() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

int64_t PlatformWallNs() {
    return (static_cast<int64_t>(PlatformFileTime()) - static_cast<int64_t>(kUnixEpochFileTime)) *
           100;
}

// QueryPerformanceCounter stays: it is what the system vouches for on every machine.
bool PlatformCounterUsable() { return false; }

#else

// CLOCK_MONOTONIC in nanoseconds: a tick counter whose frequency is 1e9.
uint64_t PlatformTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t PlatformTickFrequency() { return 1000000000ULL; }

// clock_getres gives the resolution of the system's timers, not how far the clock source moves
// at each step: measured instead.
uint64_t PlatformTickStepNs() { return MeasureTickStepNs(&PlatformTickCount, 1.0); }

// The wall clock as 100-ns intervals since 1601-01-01; a clock set before 1601 reads as 0. The
// coarse clock costs a few nanoseconds instead of twenty and ticks every few milliseconds (the
// kernel's tick), like the system time on Windows; the timestamp column carries the fine time.
uint64_t PlatformFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const long long intervals = static_cast<long long>(now.tv_sec) * 10000000LL + now.tv_nsec / 100;
    const long long fileTime = intervals + static_cast<long long>(kUnixEpochFileTime);
    return fileTime < 0 ? 0 : static_cast<uint64_t>(fileTime);
}

int64_t PlatformWallNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool PlatformCounterUsable() {
#if defined(__x86_64__)
    // Invariant: the same rate in every power state, on every core.
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    if (__get_cpuid(0x80000000U, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007U ||
        __get_cpuid(0x80000007U, &eax, &ebx, &ecx, &edx) == 0 || (edx & (1U << 8)) == 0) {
        return false;
    }
    // And the counter the kernel keeps its own time with: it has checked that the cores' counters
    // agree, and watches them; a kernel that distrusts it has switched to another clock source.
    char source[16] = {};
    FILE* file =
        std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
    if (file == nullptr) {
        return false;
    }
    const bool read = std::fgets(source, sizeof(source), file) != nullptr;
    std::fclose(file);
    return read && std::strcmp(source, "tsc\n") == 0;
#else
    return false;
#endif
}

#endif

}  // namespace Metrics
