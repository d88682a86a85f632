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

// One record per iteration, stamped with Read, or two (a scope's open and close).
template <unsigned long long (*Read)()>
void FloorRecord(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(Read(), 8, 12345);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

template <unsigned long long (*Read)()>
void FloorTwoRecords(benchmark::State& state) {
    for (auto _ : state) {
        WriteRecord(Read(), 5, 0);
        WriteRecord(Read(), 6, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(FloorRecord<MonotonicNs>)->Name("BM_FloorOsClockRecord")->UseRealTime();
BENCHMARK(FloorTwoRecords<MonotonicNs>)->Name("BM_FloorOsClockTwoRecords")->UseRealTime();
#if defined(__x86_64__)
BENCHMARK(FloorRecord<OrderedCounter>)->Name("BM_FloorCounterRecord")->UseRealTime();
BENCHMARK(FloorTwoRecords<OrderedCounter>)->Name("BM_FloorCounterTwoRecords")->UseRealTime();
#endif

}  // namespace
}  // namespace Metrics::Bench
