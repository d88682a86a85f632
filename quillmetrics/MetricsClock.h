#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#if !defined(_WIN32)
#include <ctime>
#endif
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace Metrics {

// FILETIME of 1970-01-01 00:00:00 UTC: 100-ns intervals since 1601-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// Nanoseconds for a tick count: (ticks - start) in wrapping arithmetic, through a double, times
// factor, truncated toward zero.
uint64_t TicksToNanoseconds(uint64_t ticks, uint64_t startTicks, double nsPerTick);

// Splits a FILETIME count into Unix seconds and microseconds; both 0 before 1970.
void FileTimeToDateTime(uint64_t fileTime, unsigned long long& seconds, uint32_t& microseconds);

// What the platform layer supplies: a monotonic tick counter with a fixed frequency, the UTC time
// as a FILETIME count, and the wall clock in nanoseconds since 1970 at the finest resolution.
uint64_t PlatformTickCount();
uint64_t PlatformTickFrequency();
// How far the tick counter moves at each step, in nanoseconds (at least 1): from its frequency
// where the system states it, else measured.
uint64_t PlatformTickStepNs();
uint64_t PlatformFileTime();
int64_t PlatformWallNs();
// Whether the CPU has a cycle counter that the event clock may use: invariant, and the one the
// system keeps its own time with.
bool PlatformCounterUsable();

// How far a tick source moves at each step, in nanoseconds, as measured by reading it back to
// back: 1 when no two readings in a row are equal (it moves faster than it can be read, so the
// rest of an emit outlasts a step), else the smallest step seen (a millisecond when it did not
// move at all while it was read).
uint64_t MeasureTickStepNs(uint64_t (*ticks)(), double nsPerTick);

// The event clock.
//
// An emit only takes a raw stamp: the CPU's cycle counter where it runs at a constant rate on
// every core and the system itself keeps time with it (x86-64 Linux), else the platform's clock
// (CLOCK_MONOTONIC, QueryPerformanceCounter). The background thread turns stamps into nanoseconds
// since the library was loaded, and derives each event's wall-clock datetime from the same
// anchors (StampConverter); only events that a synchronous consumer or the host sees at once are
// converted on the emitting thread, with the same anchors.
//
// Each stamp carries the clock's era, which changes only when the clock changes source: from the
// platform's clock to the counter once the background thread has measured the counter's rate,
// and back for good when the counter misbehaves. Eras only grow, so an emit that happens after
// another reads the same era or a later one; within an era, stamps compare in one unit. Events
// are ordered by (era, stamp) within a round, and the nanoseconds of a later era start above
// those of the earlier ones.
//
// Order across threads: the counter is read only after every earlier load has completed, so an
// emit that happens after another (through the host's own synchronisation) reads a later value.
// A counter of a GHz moves by several ticks per nanosecond, and the platform clock's step is
// measured at load: only a clock coarser than a reading makes an emit wait (WaitPastStamp).
struct Stamp {
    uint64_t raw = 0;
    uint32_t era = 0;
    bool counter = false;
};

// An emitting thread's last counter reading, so that a counter that goes back is caught at the
// first reading on a thread that read it before.
struct CounterCheck {
    uint64_t last = 0;
    uint32_t era = ~0U;
};

namespace ClockDetail {

constexpr uint32_t kCounterBit = 1;      // the era stamps with the cycle counter
constexpr uint32_t kTestCounterBit = 2;  // tests: the counter is read from a source of theirs
constexpr uint32_t kEraShift = 2;

// What every emit reads, on a line of its own: the state (era and source), and the range a
// counter reading must fall in, moved on at each calibration (about once a millisecond while a
// background thread runs, or by an emit that finds the range behind it).
struct alignas(64) Shared {
    std::atomic<uint32_t> state{0};
    std::atomic<uint64_t> counterFloor{0};
    std::atomic<uint64_t> counterCeiling{0};
};
extern Shared s_shared;
extern std::atomic<uint64_t (*)()> s_testCounter;
extern std::atomic<uint64_t (*)()> s_testTicks;
extern std::atomic<bool> s_coarse;

// The platform clock's ticks (nanoseconds on Linux), or a test's.
inline uint64_t PlatformTicks() noexcept;
// A counter reading outside its range: reads the counter again, moves the range on when the
// platform's clock agrees with that reading, else falls back to the platform's clock. Returns the
// stamp to use.
Stamp CounterOutOfRange(uint32_t state, CounterCheck& check) noexcept;
void WaitPastStampSlow(const Stamp& stamp) noexcept;

inline uint64_t PlatformTicks() noexcept {
    if (auto* ticks = s_testTicks.load(std::memory_order_relaxed)) {
        return ticks();
    }
#if defined(_WIN32)
    return PlatformTickCount();
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
#endif
}

inline uint64_t ReadCounter(uint32_t state) noexcept {
#if defined(__x86_64__)
    if ((state & kTestCounterBit) == 0) {
        // After every earlier load: a reading that happens after another thread's (through a load
        // that saw that thread's store) is never taken ahead of that load.
        _mm_lfence();
        return __rdtsc();
    }
#endif
    return s_testCounter.load(std::memory_order_relaxed)();
}

// A piece of the counter's conversion: nanoseconds since load for readings from start on (and
// before it, counted back), at mult / 2^32 nanoseconds per tick.
struct Segment {
    uint64_t start = 0;
    uint64_t base = 0;
    uint64_t mult = 0;

    uint64_t ToNs(uint64_t ticks) const noexcept {
        if (ticks >= start) {
            return base + Scaled(ticks - start);
        }
        const uint64_t back = Scaled(start - ticks);
        return back >= base ? 0 : base - back;
    }
    uint64_t Scaled(uint64_t ticks) const noexcept {
        // 128 bits, so that a tick count of any length scales without overflow.
        __extension__ using Wide = unsigned __int128;
        return static_cast<uint64_t>((static_cast<Wide>(ticks) * mult) >> 32);
    }
};

}  // namespace ClockDetail

// An emit's stamp. check is the emitting thread's own (its producer keeps it).
inline Stamp TakeStamp(CounterCheck& check) noexcept {
    using namespace ClockDetail;
    // relaxed: eras only grow, and a load that happens after another reads as late a value.
    const uint32_t state = s_shared.state.load(std::memory_order_relaxed);
    const uint32_t era = state >> kEraShift;
    if ((state & kCounterBit) == 0) {
        return Stamp{PlatformTicks(), era, false};
    }
    const uint64_t floor = s_shared.counterFloor.load(std::memory_order_relaxed);
    const uint64_t ceiling = s_shared.counterCeiling.load(std::memory_order_relaxed);
    const uint64_t ticks = ReadCounter(state);
    if (ticks >= floor && ticks <= ceiling && (check.era != era || ticks >= check.last)) {
        check.last = ticks;
        check.era = era;
        return Stamp{ticks, era, true};
    }
    return CounterOutOfRange(state, check);
}

// A stamp taken now, with its nanoseconds since load and its datetime: for an event that a
// synchronous consumer or the host sees before the background thread does.
Stamp TakeConvertedStamp(uint64_t& ns, unsigned long long& seconds, uint32_t& microseconds);

// Returns once the clock reads later than stamp, so that every event that happens after this emit
// gets a later stamp. At once unless the platform's clock was measured coarser than a reading
// (100 ns steps of QueryPerformanceCounter, or a coarse tick source in tests).
inline void WaitPastStamp(const Stamp& stamp) noexcept {
    if (ClockDetail::s_coarse.load(std::memory_order_relaxed)) {
        ClockDetail::WaitPastStampSlow(stamp);
    }
}

// Nanoseconds since load, by the platform's clock: what the event clock approximates.
uint64_t GetTimestampNs();
// The wall clock now, as the datetime fields give it.
void GetDateTime(unsigned long long& seconds, uint32_t& microseconds);

// Whether datetimes are taken by the emit (Windows: the system time, whose steps are as coarse as
// the call is cheap), rather than derived from the stamp.
#if defined(_WIN32)
constexpr bool kDateTimeAtEmit = true;
#else
constexpr bool kDateTimeAtEmit = false;
#endif

// Turns stamps into event times, on a background thread, which calls Calibrate once per round
// before it converts the round's records: that re-measures the wall clock's offset (so that
// datetimes follow a step of the system time within one round) and, at most once a millisecond,
// the cycle counter against the platform's clock: it switches to the counter once its rate is
// known, steers the conversion to follow the platform's clock, and falls back to that clock for
// good when the two part (a counter that jumped, or whose rate changed).
class StampConverter {
public:
    StampConverter();
    // Whether the counter may be used at all is decided when the first converter is made: not
    // when QUILLMETRICS_CLOCK=os, nor without an invariant counter that the system keeps time
    // with.
    void Calibrate() noexcept;
    // Nanoseconds since load; never below those of an earlier era already converted here.
    uint64_t ToNs(const Stamp& stamp) noexcept {
        if (stamp.era != m_era || (m_counter && stamp.raw < m_a.start)) {
            return SlowNs(stamp);
        }
        uint64_t ns = 0;
        if (m_counter) {
            ns = (stamp.raw >= m_b.start ? m_b : m_a).ToNs(stamp.raw);
        } else {
            const int64_t platform = static_cast<int64_t>(PlatformNs(stamp.raw)) + m_platformOffset;
            ns = platform < 0 ? 0 : static_cast<uint64_t>(platform);
        }
        return Floored(ns);
    }
    void ToDateTime(uint64_t ns, unsigned long long& seconds,
                    uint32_t& microseconds) const noexcept;
    // A line for the log when the clock changed since the last call, else null.
    const wchar_t* TakeNews() noexcept;

private:
    // How far an era's nanoseconds were raised, and the highest given, to keep the later eras
    // above it.
    struct EraRange {
        uint32_t era = 0;
        uint64_t shift = 0;
        uint64_t highest = 0;
    };
    uint64_t PlatformNs(uint64_t ticks) const noexcept {
        return TicksToNanoseconds(ticks, m_startTicks, m_nsPerTick);
    }
    // Raised above the earlier eras' highest.
    uint64_t Floored(uint64_t ns) noexcept {
        ns += m_shift;
        if (ns <= m_floor) {
            m_shift += m_floor + 1 - ns;
            ns = m_floor + 1;
        }
        m_highest = ns > m_highest ? ns : m_highest;
        return ns;
    }
    uint64_t SlowNs(const Stamp& stamp) noexcept;
    uint64_t HistoryNs(const Stamp& stamp) noexcept;
    uint64_t OtherEraNs(uint32_t era, uint64_t ns) noexcept;

    const uint64_t m_startTicks;
    const double m_nsPerTick;

    // The current era's conversion, copied when it changes.
    uint64_t m_version = ~0ULL;
    uint32_t m_era = 0;
    bool m_counter = false;
    ClockDetail::Segment m_a;
    ClockDetail::Segment m_b;
    int64_t m_platformOffset = 0;
    int64_t m_wallOffset = 0;
    uint64_t m_shift = 0;
    uint64_t m_floor = 0;  // the highest of the earlier eras
    uint64_t m_highest = 0;
    std::vector<EraRange> m_eras;  // the earlier eras
};

// Tests only. The counter is read from ticks (null: the CPU's) and may be used whatever the CPU
// and the system are; UseCounterForTesting switches to it now (measuring its rate for a few
// milliseconds), or away from it and never back (as a fall-back does). The wall clock is read from
// wallNs (null: the system's). The platform clock is read from ticks at the platform's frequency
// (null: the platform's), its step measured. CounterInUseForTesting says whether emits stamp with
// the counter.
void SetCounterSourceForTesting(uint64_t (*ticks)());
void UseCounterForTesting(bool use);
bool CounterInUseForTesting();
void SetWallClockForTesting(int64_t (*wallNs)());
void SetTickSourceForTesting(uint64_t (*ticks)());

}  // namespace Metrics
