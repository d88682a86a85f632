// Floors that do what an emit must do and nothing more, measured in the same run as the emit rows:
// the clock read an emit takes (the system's monotonic clock, or the ordered cycle-counter read)
// and one record of the size the library writes for an attribute with a short name and a number,
// stored into a per-thread ring. Two of each are the floor of a scope's open and close.

#include <array>
#include <cstdint>
#include <ctime>

#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "BenchSupport.h"

namespace Metrics::Bench {
namespace {

// 96 bytes, as the library's record of an attribute: a 64-byte head, the name and the number.
struct RingRecord {
    unsigned long long words[12];
};

inline unsigned long long MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL +
           static_cast<unsigned long long>(now.tv_nsec);
}

#if defined(__x86_64__)
// The read an emit takes when it stamps with the cycle counter: after every earlier load.
inline unsigned long long OrderedCounter() {
    _mm_lfence();
    return __rdtsc();
}
#endif

inline void WriteRecord(unsigned long long stamp, int type, long long value) {
    thread_local std::array<RingRecord, 2048> ring;
    thread_local size_t head = 0;
    RingRecord& record = ring[head++ & 2047];
    record.words[0] = 96;
    record.words[1] = static_cast<unsigned long long>(type);
    record.words[2] = 7;  // the round
    record.words[3] = stamp;
    record.words[4] = 0;
    record.words[5] = 0;
    record.words[6] = 42;  // the context
    record.words[7] = kSql;
    record.words[8] = 4;  // the name's head and text
    record.words[9] = 0x73776f72;
    record.words[10] = 0;  // the number's head and value
    record.words[11] = static_cast<unsigned long long>(value);
}

void BM_FloorOsClockRecord(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(MonotonicNs(), 8, 12345);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorOsClockRecord)->UseRealTime();

void BM_FloorOsClockTwoRecords(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(MonotonicNs(), 5, 0);
        WriteRecord(MonotonicNs(), 6, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorOsClockTwoRecords)->UseRealTime();

#if defined(__x86_64__)
void BM_FloorCounterRecord(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(OrderedCounter(), 8, 12345);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorCounterRecord)->UseRealTime();

void BM_FloorCounterTwoRecords(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(OrderedCounter(), 5, 0);
        WriteRecord(OrderedCounter(), 6, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorCounterTwoRecords)->UseRealTime();
#endif

}  // namespace
}  // namespace Metrics::Bench
