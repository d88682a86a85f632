#include "MetricsClock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

namespace Metrics {

namespace ClockDetail {

Shared s_shared;
std::atomic<uint64_t (*)()> s_testCounter{nullptr};
std::atomic<uint64_t (*)()> s_testTicks{nullptr};
std::atomic<bool> s_coarse{PlatformTickStepNs() > 1};

}  // namespace ClockDetail

namespace {

using namespace ClockDetail;

// Written once during static initialisation, before any exported function can run, and only read
// afterwards.
const uint64_t s_startTicks = PlatformTickCount();
const double s_nsPerTick = 1e9 / static_cast<double>(PlatformTickFrequency());

// How far the counter's conversion may part from the platform's clock before the counter is given
// up: far beyond what steering leaves (microseconds), far below a jump worth noticing.
constexpr int64_t kMaxErrorNs = 200000;
// A calibration reads the platform's clock on both sides of the counter; it is thrown away when
// the two readings are further apart than this (the thread was preempted in between).
constexpr uint64_t kMaxReadingNs = 20000;
constexpr uint64_t kCalibrationIntervalNs = 1000000;
// The counter's rate is first measured over this long before the counter is used.
constexpr uint64_t kFirstRateSpanNs = 5000000;
// A new conversion segment is published at most this often, to take effect this far ahead (so
// that the emits converting a reading now and the background thread converting it later always
// use the same segment), and corrects the error it finds over kSteerNs, by at most kMaxSlew.
constexpr uint64_t kSegmentIntervalNs = 100000000;
constexpr uint64_t kSegmentLeadNs = 10000000;
constexpr double kSteerNs = 1e9;
constexpr double kMaxSlew = 500e-6;
// The rate is measured since an anchor that moves on this often, following slow changes.
constexpr uint64_t kAnchorSpanNs = 10000000000ULL;
// How far past the last calibration a counter reading may go before an emit checks it against
// the platform's clock itself.
constexpr uint64_t kHorizonNs = 10000000;
// Where a new era starts above the last one's stamps: more than the error a switch can leave.
constexpr int64_t kSwitchMarginNs = 10000;

uint64_t PlatformNs(uint64_t ticks) noexcept {
    return TicksToNanoseconds(ticks, s_startTicks, s_nsPerTick);
}

uint64_t NowNs() noexcept { return PlatformNs(PlatformTicks()); }

// An era's conversion.
struct Era {
    uint32_t era = 0;
    bool counter = false;
    int64_t platformOffset = 0;
    std::vector<Segment> segments;  // by start, for a counter era

    uint64_t ToNs(uint64_t raw) const noexcept {
        if (!counter) {
            const int64_t ns = static_cast<int64_t>(PlatformNs(raw)) + platformOffset;
            return ns < 0 ? 0 : static_cast<uint64_t>(ns);
        }
        if (segments.empty()) {
            return PlatformNs(raw);
        }
        auto after = std::upper_bound(segments.begin(), segments.end(), raw,
                                      [](uint64_t t, const Segment& s) { return t < s.start; });
        return (after == segments.begin() ? *after : *(after - 1)).ToNs(raw);
    }
};

// What emits convert with: the current era's conversion, under a sequence lock (odd while it is
// being written), in atomics so that a reader racing a writer reads no torn value it would use.
struct Published {
    std::atomic<uint64_t> sequence{0};
    std::atomic<uint64_t> era{0};
    std::atomic<uint64_t> counter{0};
    std::atomic<uint64_t> startA{0}, baseA{0}, multA{0};
    std::atomic<uint64_t> startB{0}, baseB{0}, multB{0};
    std::atomic<int64_t> platformOffset{0};
    std::atomic<int64_t> wallOffset{0};
};

struct Snapshot {
    uint64_t sequence = 0;
    uint32_t era = 0;
    bool counter = false;
    Segment a, b;
    int64_t platformOffset = 0;
    int64_t wallOffset = 0;

    uint64_t ToNs(uint64_t raw) const noexcept {
        if (!counter) {
            const int64_t ns = static_cast<int64_t>(PlatformNs(raw)) + platformOffset;
            return ns < 0 ? 0 : static_cast<uint64_t>(ns);
        }
        return (raw >= b.start ? b : a).ToNs(raw);
    }
};

Published s_published;

Snapshot ReadPublished() noexcept {
    Snapshot snapshot;
    while (true) {
        const uint64_t before = s_published.sequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) {
            std::this_thread::yield();
            continue;
        }
        snapshot.sequence = before;
        snapshot.era = static_cast<uint32_t>(s_published.era.load(std::memory_order_acquire));
        snapshot.counter = s_published.counter.load(std::memory_order_acquire) != 0;
        snapshot.a = Segment{s_published.startA.load(std::memory_order_acquire),
                             s_published.baseA.load(std::memory_order_acquire),
                             s_published.multA.load(std::memory_order_acquire)};
        snapshot.b = Segment{s_published.startB.load(std::memory_order_acquire),
                             s_published.baseB.load(std::memory_order_acquire),
                             s_published.multB.load(std::memory_order_acquire)};
        snapshot.platformOffset = s_published.platformOffset.load(std::memory_order_acquire);
        snapshot.wallOffset = s_published.wallOffset.load(std::memory_order_acquire);
        // Each load above is an acquire, so that the check below cannot be made before them (a
        // fence would do, but ThreadSanitizer does not model fences); on x86 they are plain loads.
        if (s_published.sequence.load(std::memory_order_relaxed) == before) {
            return snapshot;
        }
    }
}

// The clock's own state, guarded by its mutex: every era's conversion (for records converted late),
// and the counter's calibration.
struct Calibration {
    bool decided = false;
    bool allowed = false;  // the counter may be used
    bool gaveUp = false;   // it misbehaved: not again
    std::vector<Era> eras;
    // The counter's rate: readings at an anchor, and the ticks per nanosecond measured since.
    bool anchored = false;
    uint64_t anchorTicks = 0;
    uint64_t anchorNs = 0;
    double ticksPerNs = 0;
    uint64_t lastCalibrationNs = 0;
    uint64_t nextSegmentNs = 0;
    int64_t lastErrorNs = 0;
    const wchar_t* news = nullptr;
};

struct ClockState {
    std::mutex mutex;
    Calibration calibration;  // guarded by mutex
};

// Never destroyed: a background thread may still calibrate while the process exits.
ClockState& Clock() {
    static auto* state = new ClockState();
    return *state;
}
std::atomic<int64_t (*)()> s_testWall{nullptr};
std::atomic<bool> s_testCounterAllowed{false};

int64_t WallNs() noexcept {
    if (auto* wall = s_testWall.load(std::memory_order_relaxed)) {
        return wall();
    }
    return PlatformWallNs();
}

// The wall clock's nanoseconds since 1970 at load, as measured now: what turns nanoseconds since
// load into a datetime, read on both sides of the wall clock's reading.
// kUnreadable when every try was interrupted.
constexpr int64_t kUnreadable = std::numeric_limits<int64_t>::min();
constexpr int64_t kWallJitterNs = 2000;
int64_t WallOffsetNs() noexcept {
    for (int tries = 0; tries < 3; ++tries) {
        const uint64_t before = NowNs();
        const int64_t wall = WallNs();
        const uint64_t after = NowNs();
        if (after - before <= kMaxReadingNs) {
            return wall - static_cast<int64_t>(before + (after - before) / 2);
        }
    }
    return kUnreadable;
}

void SplitDateTime(int64_t wallNs, unsigned long long& seconds, uint32_t& microseconds) noexcept {
    if (wallNs < 0) {
        seconds = 0;
        microseconds = 0;
        return;
    }
    const auto micros = static_cast<unsigned long long>(wallNs / 1000);
    seconds = micros / 1000000ULL;
    microseconds = static_cast<uint32_t>(micros % 1000000ULL);
}

// Writes the snapshot under the sequence lock. the clock's mutex held.
void Publish(const Snapshot& next) noexcept {
    const uint64_t sequence = s_published.sequence.load(std::memory_order_relaxed);
    s_published.sequence.store(sequence + 1, std::memory_order_relaxed);
    // Each store below is a release, so that a reader that sees any of them sees the odd sequence
    // above as well, and tries again.
    s_published.era.store(next.era, std::memory_order_release);
    s_published.counter.store(next.counter ? 1 : 0, std::memory_order_release);
    s_published.startA.store(next.a.start, std::memory_order_release);
    s_published.baseA.store(next.a.base, std::memory_order_release);
    s_published.multA.store(next.a.mult, std::memory_order_release);
    s_published.startB.store(next.b.start, std::memory_order_release);
    s_published.baseB.store(next.b.base, std::memory_order_release);
    s_published.multB.store(next.b.mult, std::memory_order_release);
    s_published.platformOffset.store(next.platformOffset, std::memory_order_release);
    s_published.wallOffset.store(next.wallOffset, std::memory_order_release);
    s_published.sequence.store(sequence + 2, std::memory_order_release);
}

Era& CurrentEra() {
    if (Clock().calibration.eras.empty()) {
        Clock().calibration.eras.push_back(Era{});
    }
    return Clock().calibration.eras.back();
}

// Starts a new era, published before emits see it in the state. the clock's mutex held.
void StartEra(Era era, const Snapshot& conversion, uint32_t testBit) {
    // An era's records are kept convertible for as long as any may still come in: a few eras do.
    if (Clock().calibration.eras.size() >= 8) {
        Clock().calibration.eras.erase(Clock().calibration.eras.begin());
    }
    Clock().calibration.eras.push_back(std::move(era));
    Publish(conversion);
    const uint32_t state = (conversion.era << kEraShift) | (conversion.counter ? kCounterBit : 0) |
                           (conversion.counter ? testBit : 0);
    // release: an emit that reads the new state and converts its stamp finds the conversion.
    s_shared.state.store(state, std::memory_order_release);
}

// Gives the counter up for good: a new era of the platform's clock, whose nanoseconds start above
// the counter's last ones (errorNs: how far the counter's conversion ran ahead). the clock's mutex
// held.
void FallBack(int64_t errorNs, const wchar_t* why) {
    Snapshot current = ReadPublished();
    if (!current.counter) {
        return;
    }
    Snapshot next = current;
    next.era = current.era + 1;
    next.counter = false;
    next.platformOffset =
        std::max<int64_t>(0, std::max(errorNs, Clock().calibration.lastErrorNs)) + kSwitchMarginNs;
    Era era;
    era.era = next.era;
    era.platformOffset = next.platformOffset;
    Clock().calibration.gaveUp = true;
    Clock().calibration.news = why;
    StartEra(std::move(era), next, 0);
}

bool TestCounter() noexcept { return s_testCounter.load(std::memory_order_relaxed) != nullptr; }

uint64_t ReadCounterNow() noexcept { return ReadCounter(TestCounter() ? kTestCounterBit : 0); }

// A counter reading with the platform's clock around it; false when the two platform readings
// are too far apart to tell when the counter was read.
bool ReadPair(uint64_t& ticks, uint64_t& ns) noexcept {
    const uint64_t before = NowNs();
    ticks = ReadCounterNow();
    const uint64_t after = NowNs();
    ns = before + (after - before) / 2;
    return after - before <= kMaxReadingNs;
}

uint64_t MultFor(double nsPerTick) noexcept {
    return static_cast<uint64_t>(nsPerTick * 4294967296.0);
}

// Switches to the counter, whose rate is known. the clock's mutex held.
void SwitchToCounter(uint64_t ticks, uint64_t ns) {
    Snapshot current = ReadPublished();
    Snapshot next = current;
    next.era = current.era + 1;
    next.counter = true;
    // Above what the platform's clock gave the events just before.
    next.a = Segment{ticks, ns + kSwitchMarginNs, MultFor(1.0 / Clock().calibration.ticksPerNs)};
    next.b = next.a;
    Era era;
    era.era = next.era;
    era.counter = true;
    era.segments.push_back(next.a);
    Clock().calibration.anchorTicks = ticks;
    Clock().calibration.anchorNs = ns;
    Clock().calibration.lastErrorNs = static_cast<int64_t>(kSwitchMarginNs);
    Clock().calibration.nextSegmentNs = ns + kSegmentIntervalNs;
    Clock().calibration.news = L"MetricsManager: stamping with the cycle counter";
    const auto horizon = static_cast<uint64_t>(kHorizonNs * Clock().calibration.ticksPerNs);
    s_shared.counterFloor.store(ticks, std::memory_order_relaxed);
    s_shared.counterCeiling.store(ticks + horizon, std::memory_order_relaxed);
    StartEra(std::move(era), next, TestCounter() ? kTestCounterBit : 0);
}

// Measures the counter against the platform's clock and acts on it. the clock's mutex held.
void CalibrateCounter(uint64_t nowNs) {
    uint64_t ticks = 0;
    uint64_t ns = 0;
    if (!ReadPair(ticks, ns)) {
        return;
    }
    Clock().calibration.lastCalibrationNs = nowNs;
    Snapshot current = ReadPublished();
    if (!current.counter) {
        if (!Clock().calibration.anchored) {
            Clock().calibration.anchored = true;
            Clock().calibration.anchorTicks = ticks;
            Clock().calibration.anchorNs = ns;
            return;
        }
        if (ns - Clock().calibration.anchorNs < kFirstRateSpanNs ||
            ticks <= Clock().calibration.anchorTicks) {
            return;
        }
        Clock().calibration.ticksPerNs =
            static_cast<double>(ticks - Clock().calibration.anchorTicks) /
            static_cast<double>(ns - Clock().calibration.anchorNs);
        SwitchToCounter(ticks, ns);
        return;
    }
    const int64_t error = static_cast<int64_t>(current.ToNs(ticks)) - static_cast<int64_t>(ns);
    if (ticks < s_shared.counterFloor.load(std::memory_order_relaxed)) {
        FallBack(error,
                 L"MetricsManager: the cycle counter went back; stamping with the system clock");
        return;
    }
    if (error > kMaxErrorNs || error < -kMaxErrorNs) {
        FallBack(
            error,
            L"MetricsManager: the cycle counter parted from the system clock; stamping with the "
            L"system clock");
        return;
    }
    Clock().calibration.lastErrorNs = error;
    const auto horizon = static_cast<uint64_t>(kHorizonNs * Clock().calibration.ticksPerNs);
    s_shared.counterFloor.store(ticks, std::memory_order_relaxed);
    s_shared.counterCeiling.store(ticks + horizon, std::memory_order_relaxed);
    if (ns < Clock().calibration.nextSegmentNs) {
        return;
    }
    // A new segment: the rate measured since the anchor, corrected so that the error found now
    // is gone within kSteerNs, starting kSegmentLeadNs ahead, where the one in force leaves off.
    const uint64_t span = ns - Clock().calibration.anchorNs;
    if (span >= kFirstRateSpanNs && ticks > Clock().calibration.anchorTicks) {
        Clock().calibration.ticksPerNs =
            static_cast<double>(ticks - Clock().calibration.anchorTicks) /
            static_cast<double>(span);
    }
    if (span >= kAnchorSpanNs) {
        Clock().calibration.anchorTicks = ticks;
        Clock().calibration.anchorNs = ns;
    }
    const double correction =
        std::clamp(static_cast<double>(error) / kSteerNs, -kMaxSlew, kMaxSlew);
    Snapshot next = current;
    if (ticks >= current.b.start) {
        next.a = current.b;  // the pending segment is in force by now
    }
    const uint64_t start =
        ticks + static_cast<uint64_t>(kSegmentLeadNs * Clock().calibration.ticksPerNs);
    next.b = Segment{start, next.a.ToNs(start),
                     MultFor((1.0 - correction) / Clock().calibration.ticksPerNs)};
    Era& era = CurrentEra();
    era.segments.push_back(next.b);
    if (era.segments.size() > 1024) {
        era.segments.erase(era.segments.begin(), era.segments.begin() + 512);
    }
    Clock().calibration.nextSegmentNs = ns + kSegmentIntervalNs;
    Publish(next);
}

void Decide() {
    if (Clock().calibration.decided) {
        return;
    }
    Clock().calibration.decided = true;
    // Read once, by the host's thread that makes the manager, never while another thread writes
    // the environment.
    const char* choice = std::getenv("QUILLMETRICS_CLOCK");  // NOLINT(concurrency-mt-unsafe)
    const bool systemOnly = choice != nullptr && std::strcmp(choice, "os") == 0;
    Clock().calibration.allowed = !systemOnly && PlatformCounterUsable();
}

}  // namespace

namespace ClockDetail {

Stamp CounterOutOfRange(uint32_t state, CounterCheck& check) noexcept {
    std::unique_lock<std::mutex> lock(Clock().mutex);
    if (s_shared.state.load(std::memory_order_relaxed) != state) {
        lock.unlock();
        return TakeStamp(check);  // the clock changed meanwhile
    }
    // The caller's reading is not judged: the thread may have waited for this lock or been
    // preempted since it took it, and a calibration may have moved the range on meanwhile, which
    // would make a sound counter look as if it had gone back or fallen behind. A fresh reading
    // between two of the platform's is judged instead: a counter that keeps time converts to a
    // moment between those two, however long the thread was away in between. A later reading is
    // as good a stamp for this emit, which has not yet published anything.
    const uint32_t era = state >> kEraShift;
    const uint64_t before = NowNs();
    const uint64_t ticks = ReadCounter(state);
    const uint64_t after = NowNs();
    const bool back = ticks < s_shared.counterFloor.load(std::memory_order_relaxed) ||
                      (check.era == era && ticks < check.last);
    // How far this reading converts outside the platform's readings around it. Every reading
    // before it was no later (the counter did not go back) or was checked against the last
    // calibration (it did): the new era starts above the larger of the two errors, so that no
    // stamp goes back.
    const auto converted = static_cast<int64_t>(ReadPublished().ToNs(ticks));
    const int64_t error = converted > static_cast<int64_t>(after)
                              ? converted - static_cast<int64_t>(after)
                              : std::min<int64_t>(converted - static_cast<int64_t>(before), 0);
    if (!back && error <= kMaxErrorNs && error >= -kMaxErrorNs) {
        // Past the ceiling only because no calibration came for a while (the background thread
        // is busy in a consumer): the platform's clock agrees, and the range moves on.
        const double ticksPerNs =
            Clock().calibration.ticksPerNs > 0 ? Clock().calibration.ticksPerNs : 1.0;
        const uint64_t ceiling = ticks + static_cast<uint64_t>(kHorizonNs * ticksPerNs);
        if (ceiling > s_shared.counterCeiling.load(std::memory_order_relaxed)) {
            s_shared.counterCeiling.store(ceiling, std::memory_order_relaxed);
        }
        check.last = ticks;
        check.era = era;
        return Stamp{ticks, era, true};
    }
    FallBack(error,
             back ? L"MetricsManager: the cycle counter went back; stamping with the system clock"
             : error > 0
                 ? L"MetricsManager: the cycle counter jumped ahead; stamping with the system "
                   L"clock"
                 : L"MetricsManager: the cycle counter parted from the system clock; "
                   L"stamping with the system clock");
    lock.unlock();
    return TakeStamp(check);
}

void WaitPastStampSlow(const Stamp& stamp) noexcept {
    const uint32_t state = s_shared.state.load(std::memory_order_relaxed);
    if ((state >> kEraShift) != stamp.era || (state & kCounterBit) != 0) {
        // A counter's stamp (far finer than a nanosecond), or the clock changed since: the next
        // stamp is in a later era and sorts after this one anyway.
        return;
    }
    for (int spins = 0; PlatformTicks() <= stamp.raw; ++spins) {
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
}

}  // namespace ClockDetail

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

uint64_t GetTimestampNs() { return NowNs(); }

void GetDateTime(unsigned long long& seconds, uint32_t& microseconds) {
    seconds = 0;
    microseconds = 0;
    FileTimeToDateTime(PlatformFileTime(), seconds, microseconds);
}

Stamp TakeConvertedStamp(uint64_t& ns, unsigned long long& seconds, uint32_t& microseconds) {
    while (true) {
        CounterCheck unchecked;
        const Stamp stamp = TakeStamp(unchecked);
        const Snapshot conversion = ReadPublished();
        if (conversion.era != stamp.era) {
            continue;  // the clock changed between the reading and the conversion: read again
        }
        ns = conversion.ToNs(stamp.raw);
        if (kDateTimeAtEmit) {
            GetDateTime(seconds, microseconds);
        } else {
            SplitDateTime(static_cast<int64_t>(ns) + conversion.wallOffset, seconds, microseconds);
        }
        return stamp;
    }
}

StampConverter::StampConverter()
    : m_startTicks(s_startTicks)
    , m_nsPerTick(s_nsPerTick) {
    std::lock_guard<std::mutex> lock(Clock().mutex);
    Decide();
    if (s_published.sequence.load(std::memory_order_relaxed) == 0) {
        Snapshot first;
        first.wallOffset = WallOffsetNs();
        while (first.wallOffset == kUnreadable) {
            first.wallOffset = WallOffsetNs();
        }
        Publish(first);
    }
}

void StampConverter::Calibrate() noexcept {
    // One calibration at a time, by whichever background thread comes first (a host-made manager
    // has one too); the others convert with what it published.
    std::unique_lock<std::mutex> lock(Clock().mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        const int64_t wallOffset = WallOffsetNs();
        const uint64_t now = NowNs();
        if (!Clock().calibration.gaveUp &&
            (Clock().calibration.allowed || s_testCounterAllowed.load(std::memory_order_relaxed)) &&
            now - Clock().calibration.lastCalibrationNs >= kCalibrationIntervalNs) {
            CalibrateCounter(now);
        }
        // A step of the system time is followed at once; what the reading itself jitters is not.
        Snapshot current = ReadPublished();
        if (wallOffset != kUnreadable && (wallOffset > current.wallOffset + kWallJitterNs ||
                                          wallOffset < current.wallOffset - kWallJitterNs)) {
            current.wallOffset = wallOffset;
            Publish(current);
        }
    }
    const Snapshot conversion = ReadPublished();
    if (conversion.sequence == m_version) {
        return;
    }
    m_version = conversion.sequence;
    if (conversion.era != m_era) {
        m_eras.push_back(EraRange{m_era, m_shift, m_highest});
        if (m_eras.size() > 8) {
            m_eras.erase(m_eras.begin());
        }
        m_floor = 0;
        for (const EraRange& range : m_eras) {
            if (range.era < conversion.era) {
                m_floor = std::max(m_floor, range.highest);
            }
        }
        m_era = conversion.era;
        m_shift = 0;
        m_highest = 0;
    }
    m_counter = conversion.counter;
    m_a = conversion.a;
    m_b = conversion.b;
    m_platformOffset = conversion.platformOffset;
    m_wallOffset = conversion.wallOffset;
}

uint64_t StampConverter::SlowNs(const Stamp& stamp) noexcept {
    // Another era, or a reading from before the segments in force (an emit that took long
    // between its stamp and its push): the clock's history has its conversion.
    const uint64_t ns = HistoryNs(stamp);
    return stamp.era != m_era ? OtherEraNs(stamp.era, ns) : Floored(ns);
}

uint64_t StampConverter::HistoryNs(const Stamp& stamp) noexcept {
    std::lock_guard<std::mutex> lock(Clock().mutex);
    const auto& eras = Clock().calibration.eras;
    const auto found = std::find_if(eras.begin(), eras.end(),
                                    [&](const Era& era) { return era.era == stamp.era; });
    return found != eras.end() ? found->ToNs(stamp.raw) : PlatformNs(stamp.raw);
}

uint64_t StampConverter::OtherEraNs(uint32_t era, uint64_t ns) noexcept {
    // Kept above every earlier era; its own highest raises the floor of the later ones.
    auto range =
        std::find_if(m_eras.begin(), m_eras.end(), [&](const EraRange& r) { return r.era == era; });
    if (range == m_eras.end()) {
        range = m_eras.insert(m_eras.end(), EraRange{era, 0, 0});
    }
    uint64_t floor = 0;
    for (const EraRange& other : m_eras) {
        if (other.era < era) {
            floor = std::max(floor, other.highest);
        }
    }
    ns += range->shift;
    if (ns <= floor) {
        range->shift += floor + 1 - ns;
        ns = floor + 1;
    }
    range->highest = std::max(range->highest, ns);
    if (era < m_era) {
        m_floor = std::max(m_floor, range->highest);
    }
    return ns;
}

void StampConverter::ToDateTime(uint64_t ns, unsigned long long& seconds,
                                uint32_t& microseconds) const noexcept {
    SplitDateTime(static_cast<int64_t>(ns) + m_wallOffset, seconds, microseconds);
}

const wchar_t* StampConverter::TakeNews() noexcept {
    std::lock_guard<std::mutex> lock(Clock().mutex);
    const wchar_t* news = Clock().calibration.news;
    Clock().calibration.news = nullptr;
    return news;
}

void SetCounterSourceForTesting(uint64_t (*ticks)()) {
    s_testCounter.store(ticks);
    s_testCounterAllowed.store(ticks != nullptr);
}

void UseCounterForTesting(bool use) {
    std::lock_guard<std::mutex> lock(Clock().mutex);
    Decide();
    if (!use) {
        FallBack(0, L"MetricsManager: stamping with the system clock");
        Clock().calibration.gaveUp = true;
        return;
    }
    if (ReadPublished().counter) {
        return;
    }
    Clock().calibration.allowed = true;
    Clock().calibration.gaveUp = false;
    uint64_t startTicks = 0;
    uint64_t startNs = 0;
    while (!ReadPair(startTicks, startNs)) {
    }
    uint64_t ticks = 0;
    uint64_t ns = 0;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (!ReadPair(ticks, ns) || ns - startNs < kFirstRateSpanNs);
    Clock().calibration.ticksPerNs =
        static_cast<double>(ticks - startTicks) / static_cast<double>(ns - startNs);
    SwitchToCounter(ticks, ns);
}

bool CounterInUseForTesting() { return ReadPublished().counter; }

void SetWallClockForTesting(int64_t (*wallNs)()) { s_testWall.store(wallNs); }

void SetTickSourceForTesting(uint64_t (*ticks)()) {
    s_coarse.store(ticks != nullptr ? MeasureTickStepNs(ticks, s_nsPerTick) > 1
                                    : PlatformTickStepNs() > 1);
    s_testTicks.store(ticks);
}

}  // namespace Metrics
