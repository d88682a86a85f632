// The hand-off queue driven directly, and cross-thread order through the manager on a clock that
// ticks coarsely.

#include <tuple>
#include <utility>

#include "DeliveryThread.h"
#include "EventQueue.h"
#include "MetricsClock.h"
#include "support/RecordingListener.h"
#include "support/StressSupport.h"

namespace Metrics::Testing {
namespace {

// Pushes a host's event tagged like Tagged with the given stamp (of the clock's first era), or
// stamped now.
void PushHosts(EventQueue& queue, unsigned long long producer, long long sequence, uint64_t stamp) {
    queue.Push(Tagged(producer, sequence), Stamp{stamp, 0, false});
}
void PushHosts(EventQueue& queue, unsigned long long producer, long long sequence) {
    CounterCheck check;
    queue.Push(Tagged(producer, sequence), TakeStamp(check));
}

// A built event as the front ends make it: tagged like Tagged.
MetricsEvent Built(unsigned long long producer, long long sequence) {
    MetricsEvent event;
    event.eventType = kTagged;
    event.subjectId = producer;
    event.param1 = MetricsValue("rows");
    event.param2 = MetricsValue(sequence);
    return event;
}

void PushBuilt(EventQueue& queue, unsigned long long producer, long long sequence) {
    MetricsEvent event = Built(producer, sequence);
    queue.PushBuilt(event);
}

using Tag = std::pair<unsigned long long, long long>;

// The (producer, sequence) tags of a batch, appended to tags. An event with pairs repeats its
// sequence in its last pair, written last: a record read before it was whole tags as -1.
void ReadTags(const std::vector<const RecordHead*>& batch, std::vector<Tag>& tags) {
    RecordReader reader;
    StampConverter clock;
    for (const RecordHead* record : batch) {
        const MetricsEvent& event = reader.Read(*record, clock);
        const bool whole =
            event.paramPairs.empty() || event.paramPairs.back().second.m_int == event.param2.m_int;
        tags.emplace_back(event.subjectId, whole ? event.param2.m_int : -1);
    }
}

// Rounds taken by TakeAll, in any test.
std::atomic<long long> s_rounds{0};

// Drains the queue as the background thread does, round after round, until a round finds
// nothing; the tags in delivery order.
std::vector<Tag> TakeAll(EventQueue& queue) {
    std::vector<Tag> tags;
    std::vector<const RecordHead*> batch;
    bool more = true;
    while (true) {
        queue.TakeRound(batch, more);
        ReadTags(batch, tags);
        const bool empty = batch.empty();
        queue.Release(batch);
        s_rounds.fetch_add(1);
        if (empty && !more) {
            return tags;
        }
    }
}

// One round merges the threads' events by stamp while keeping each thread's own order, and a
// host's event is let go once its round is released, whichever thread made it.
TEST(EventQueueTest, RoundsMergeByStampAndLetGoOnRelease) {
    EventQueue queue;
    std::weak_ptr<MetricsEvent> mine;
    std::weak_ptr<MetricsEvent> ended;
    {
        auto first = Tagged(0, 0);
        mine = first;
        queue.Push(std::move(first), Stamp{10, 0, false});
    }
    PushHosts(queue, 0, 1, 30);
    PushHosts(queue, 0, 2, 5);  // a stamp out of step keeps its place in its thread's order
    std::thread([&] {
        auto event = Tagged(1, 0);
        ended = event;
        queue.Push(std::move(event), Stamp{20, 0, false});
        PushHosts(queue, 1, 1, 40);
    }).join();
    EXPECT_EQ(queue.PushedCount(), 5u);

    std::vector<const RecordHead*> batch;
    bool more = true;
    queue.TakeRound(batch, more);
    EXPECT_FALSE(more);
    std::vector<Tag> tags;
    ReadTags(batch, tags);
    EXPECT_EQ(tags, (std::vector<Tag>{{0, 0}, {1, 0}, {0, 1}, {0, 2}, {1, 1}}));
    EXPECT_FALSE(mine.expired()) << "held until the batch is released";
    queue.Release(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(mine.expired());
    EXPECT_TRUE(ended.expired());
    EXPECT_TRUE(TakeAll(queue).empty());
    EXPECT_EQ(queue.PushedCount(), 5u) << "an ended thread's pushes still count once retired";
}

// A thread keeps its producer for the first queue it pushed to; a queue made later, even at the
// same address, must not take that producer for its own (its events would never be read).
TEST(EventQueueTest, LaterQueueAtTheSameAddressGetsItsEvents) {
    auto first = std::make_unique<EventQueue>();
    const void* where = first.get();
    PushHosts(*first, 0, 0, 1);
    EXPECT_EQ(TakeAll(*first).size(), 1u);
    first.reset();
    auto second = std::make_unique<EventQueue>();
    PushHosts(*second, 0, 1, 2);
    EXPECT_EQ(TakeAll(*second), (std::vector<Tag>{{0, 1}}))
        << (second.get() == where ? "at the same address" : "elsewhere");
}

// What a record keeps of a built event: every kind of value, short text copied in, long text
// shared rather than copied, many pairs; and it lets go of the long text once released. A shorter
// name read after a longer one (which the reader keeps for the next event) reads as itself.
TEST(EventQueueTest, BuiltRecordsKeepEveryValue) {
    EventQueue queue;
    const std::string longText(kInlineTextBytes + 1, 'x');
    const std::wstring wideLong(kInlineTextBytes, L'w');
    MetricsEvent event;
    event.eventType = static_cast<MetricsEventType>(-7);
    event.subjectId = 1;
    event.contextId = 2;
    event.bits = 0xF000;
    event.datetimeSeconds = 1700000000;
    event.datetimeMicroseconds = 999999;
    event.param1 = MetricsValue(std::string(kInlineTextBytes, 's'));  // just fits
    event.param2 = MetricsValue(longText);
    const std::weak_ptr<std::string> shared = event.param2.m_string;
    event.paramPairs = {{MetricsValue(L"wide"), MetricsValue(wideLong)},
                        {MetricsValue(true), MetricsValue(-2.5)},
                        {MetricsValue(-1LL), MetricsValue(std::string())}};
    MetricsValue odd;
    odd.m_type = static_cast<MetricsValueType>(77);  // a type outside the list carries its bytes
    odd.m_int = 1234;
    event.paramPairs.emplace_back(odd, MetricsValue(L""));
    const MetricsEvent expected = event;
    CounterCheck check;
    const Stamp stamp = TakeStamp(check);  // as taken for a synchronous consumer
    queue.PushBuilt(event, nullptr, &stamp);
    MetricsEvent shorter = Built(0, 1);
    shorter.param1 = MetricsValue(std::string(kInlineTextBytes - 1, 's'));
    shorter.param2 = MetricsValue(wideLong);  // its only long text
    const std::weak_ptr<std::wstring> wide = shorter.param2.m_wstring;
    queue.PushBuilt(shorter);

    std::vector<const RecordHead*> batch;
    bool more = false;
    queue.TakeRound(batch, more);
    ASSERT_EQ(batch.size(), 2u);
    RecordReader reader;
    StampConverter clock;
    const MetricsEvent& got = reader.Read(*batch[0], clock);
    EXPECT_EQ(Row(got), Row(expected));
    EXPECT_EQ(got.paramPairs[3].first.m_int, 1234);
    EXPECT_EQ(std::make_tuple(got.subjectId, got.contextId, got.bits, got.timestamp,
                              got.datetimeSeconds, got.datetimeMicroseconds),
              std::make_tuple(1ULL, 2ULL, 0xF000ULL, clock.ToNs(stamp), 1700000000ULL, 999999U));
    EXPECT_EQ(got.param2.m_string.get(), shared.lock().get()) << "long text is shared, not copied";
    EXPECT_EQ(Text(reader.Read(*batch[1], clock).param1), std::string(kInlineTextBytes - 1, 's'))
        << "the last event's longer name stood for a shorter one";
    reader.Clear();
    queue.Release(batch);
    EXPECT_EQ(shared.use_count(), 1) << "the record let go of its long text (the copy holds it)";
    EXPECT_TRUE(wide.expired()) << "a record that owns only long wide text let go of it";
}

// The library's most frequent record, a short name and a number, keeps names of every length it
// takes (the copy into the record overlaps its words differently at each length) and the number's
// bytes, whether the thread pushes through its own producer or, into a second queue, through the
// shared one.
TEST(EventQueueTest, NamedRecordsKeepNamesOfEveryLength) {
    std::string letters;
    for (size_t i = 0; i < kInlineTextBytes; ++i) {
        letters += static_cast<char>('!' + i);  // no two alike, so a misplaced byte shows
    }
    const auto push = [&](EventQueue& queue) {
        for (size_t length = 0; length <= kInlineTextBytes; ++length) {
            const MetricsValue number =
                length % 3 == 0   ? MetricsValue(-static_cast<long long>(length))
                : length % 3 == 1 ? MetricsValue(static_cast<double>(length) * 0.5)
                                  : MetricsValue(length % 2 == 0);
            queue.PushNamed(MetricsEventType::Attribute, length, 7, 0x3000,
                            std::string_view(letters.data(), length), number);
        }
    };
    const auto check = [&](EventQueue& queue) {
        std::vector<const RecordHead*> batch;
        bool more = false;
        queue.TakeRound(batch, more);
        ASSERT_EQ(batch.size(), kInlineTextBytes + 1);
        RecordReader reader;
        StampConverter clock;
        for (size_t length = 0; length <= kInlineTextBytes; ++length) {
            const MetricsEvent& got = reader.Read(*batch[length], clock);
            EXPECT_EQ(Text(got.param1), letters.substr(0, length)) << "length " << length;
            EXPECT_EQ(std::make_tuple(got.eventType, got.subjectId, got.contextId, got.bits),
                      std::make_tuple(MetricsEventType::Attribute, 1ULL * length, 7ULL, 0x3000ULL));
            switch (length % 3) {
                case 0:
                    EXPECT_EQ(got.param2.m_type, MetricsValueType::Int64);
                    EXPECT_EQ(got.param2.m_int, -static_cast<long long>(length));
                    break;
                case 1:
                    EXPECT_EQ(got.param2.m_type, MetricsValueType::Double);
                    EXPECT_EQ(got.param2.m_double, static_cast<double>(length) * 0.5);
                    break;
                default:
                    EXPECT_EQ(got.param2.m_type, MetricsValueType::Bool);
                    EXPECT_EQ(got.param2.m_bool, length % 2 == 0);
            }
        }
        reader.Clear();
        queue.Release(batch);
    };
    EventQueue own;
    push(own);
    EventQueue second;  // this thread's producer feeds the first queue
    push(second);
    check(own);
    check(second);
}

// A consumer that does not read while a thread writes far more than one chunk holds, then reads
// everything: the buffer grows chunk by chunk and loses or reorders nothing, and a record larger
// than any chunk gets one of its own. Then, with a tiny first chunk, the emptied chunks are written
// again and again while the consumer keeps pace.
TEST(EventQueueTest, BuffersGrowWhileStalledAndReuseChunks) {
    EventQueue::SetFirstChunkBytesForTesting(256);
    EventQueue queue;
    const long long stalled = kSanitized ? 20000 : 200000;
    std::thread([&] {
        for (long long i = 0; i < stalled; ++i) {
            MetricsEvent event = Built(0, i);
            if (i == stalled / 2) {
                for (int p = 0; p < 20000; ++p) {  // some 600 KiB of pairs
                    event.paramPairs.emplace_back(p, "pair");
                }
                event.paramPairs.back().second = MetricsValue(i);
            }
            queue.PushBuilt(event);
        }
    }).join();
    const std::vector<Tag> tags = TakeAll(queue);
    ASSERT_EQ(tags.size(), static_cast<size_t>(stalled));
    for (long long i = 0; i < stalled; ++i) {
        ASSERT_EQ(tags[static_cast<size_t>(i)], Tag(0, i));
    }

    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (long long i = 0; i < stalled; ++i) {
            PushBuilt(queue, 1, i);
        }
        done = true;
    });
    long long next = 0;
    while (true) {
        const bool finished = done.load();
        for (const Tag& tag : TakeAll(queue)) {
            ASSERT_EQ(tag, Tag(1, next));
            ++next;
        }
        if (finished && next == stalled) {
            break;
        }
        ASSERT_FALSE(finished && TakeAll(queue).empty() && next != stalled);
    }
    producer.join();
    EventQueue::SetFirstChunkBytesForTesting(0);
}

// A thread that stops emitting but lives on gives its spare chunks back once it has started no
// chunk for a while; until then they are kept for its next burst.
TEST(EventQueueTest, IdleThreadGivesItsSpareChunksBack) {
    EventQueue::SetSpareLifetimeForTesting(std::chrono::milliseconds(300));
    EventQueue queue;
    std::promise<void> pushed;
    std::promise<void> end;
    std::thread idle([&] {
        for (long long i = 0; i < 20000; ++i) {  // some 30 chunks while nothing reads
            PushBuilt(queue, 0, i);
        }
        pushed.set_value();
        end.get_future().wait();
    });
    pushed.get_future().wait();
    EXPECT_EQ(TakeAll(queue).size(), 20000u);
    EXPECT_GT(queue.SpareChunksForTesting(), 0u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (queue.SpareChunksForTesting() != 0 && std::chrono::steady_clock::now() < deadline) {
        TakeAll(queue);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(queue.SpareChunksForTesting(), 0u) << "the idle thread still keeps spares";
    end.set_value();
    idle.join();
    EventQueue::SetSpareLifetimeForTesting(std::chrono::milliseconds(0));
}

// A thread that runs far ahead of the consumer calls for it: once it has started 16 chunks that
// the consumer has not emptied, at every further chunk, and not before; after the consumer caught
// up, not until it is that far ahead again.
TEST(EventQueueTest, ThreadFarAheadCallsForTheConsumer) {
    EventQueue::SetFirstChunkBytesForTesting(256);
    EventQueue queue;
    std::atomic<int> calls{0};
    queue.SetChunkStartedHook(
        [](void* count) { static_cast<std::atomic<int>*>(count)->fetch_add(1); }, &calls);
    long long sent = 0;
    const auto pushUntilCalled = [&] {
        const long long from = sent;
        for (; calls.load() == 0 && sent < from + 1000000; ++sent) {
            PushBuilt(queue, 0, sent);
        }
        return sent - from;
    };
    std::atomic<int> phase{0};
    long long first = 0;
    long long again = 0;
    int afterMore = 0;
    std::thread producer([&] {  // a thread of its own, so that it starts with a first chunk
        first = pushUntilCalled();
        for (long long i = 0; i < 1000; ++i, ++sent) {  // a further chunk: called again
            PushBuilt(queue, 0, sent);
        }
        afterMore = calls.load();
        phase = 1;
        while (phase.load() != 2) {
            std::this_thread::yield();
        }
        again = pushUntilCalled();
    });
    while (phase.load() != 1) {
        std::this_thread::yield();
    }
    // 256 bytes, then doubling to 64 KiB: the first 15 chunks hold some 510 KiB of 96-byte
    // records, and the call comes with the 16th.
    EXPECT_GT(first, 5000);
    EXPECT_LT(first, 6000);
    EXPECT_EQ(afterMore, 2);
    EXPECT_EQ(TakeAll(queue).size(), static_cast<size_t>(first + 1000));
    calls = 0;
    phase = 2;
    producer.join();
    // Caught up but for the chunk being written: 15 more of 64 KiB.
    EXPECT_GT(again, 15 * 600) << "called before it was far ahead again";
    EventQueue::SetFirstChunkBytesForTesting(0);
}

// Runs push(p) on as many threads while this thread takes and releases rounds back to back, so
// that writes race the reads and the chunks' hand-back all the time. Gives, per producer, the
// sequence after its last event; counts every event out of its producer's order, or torn.
struct Drained {
    std::vector<long long> next;
    long long errors = 0;
    long long total = 0;
};
Drained DrainWhilePushing(EventQueue& queue, size_t producers,
                          const std::function<void(size_t)>& push) {
    std::atomic<size_t> finished{0};
    std::thread pushing([&] {
        RunThreads(producers, [&](size_t p) {
            push(p);
            finished.fetch_add(1);
        });
    });
    Drained drained;
    drained.next.assign(producers, 0);
    while (true) {
        const bool allPushed = finished.load() == producers;
        const std::vector<Tag> tags = TakeAll(queue);
        for (const Tag& tag : tags) {
            if (tag.first >= producers || tag.second != drained.next[tag.first]) {
                ++drained.errors;
            }
            if (tag.first < producers) {
                drained.next[tag.first] = tag.second + 1;
            }
            ++drained.total;
        }
        if (allPushed && tags.empty()) {
            break;
        }
    }
    pushing.join();
    return drained;
}

// Three threads push built and host events alike through producers of their own, and two threads
// whose own producers belong to another queue push at the same time through this queue's shared
// one: every event once, in its thread's order.
TEST(EventQueueTest, ContendedRoundsDeliverEachEventOnceInOrder) {
    EventQueue::SetFirstChunkBytesForTesting(512);
    EventQueue queue;
    EventQueue elsewhere;
    constexpr size_t kOwn = 3;
    constexpr size_t kProducers = kOwn + 2;
    const long long each = kSanitized ? 20000 : 200000;
    const Drained drained = DrainWhilePushing(queue, kProducers, [&](size_t p) {
        if (p >= kOwn) {
            PushBuilt(elsewhere, p, -1);  // the thread's producer is now the other queue's
        }
        for (long long i = 0; i < each; ++i) {
            if (i % 2 == 0) {
                PushBuilt(queue, p, i);
            } else {
                PushHosts(queue, p, i);
            }
        }
    });
    EXPECT_EQ(drained.errors, 0);
    EXPECT_EQ(drained.total, each * static_cast<long long>(kProducers));
    EXPECT_EQ(queue.PushedCount(), static_cast<unsigned long long>(drained.total));
    EventQueue::SetFirstChunkBytesForTesting(0);
}

// Events of some 40 KiB, of two sizes in turn: each push starts a new chunk, mostly a spare
// written again, which the consumer must never read before it is reset (its old end would deliver
// the chunk's old records again, or one still being written). Each time a spare is linked, the
// producer waits for two more rounds, so that the consumer surely reads the chunk as linked.
TEST(EventQueueTest, ReusedChunksAreResetBeforeTheyAreRead) {
    EventQueue queue;
    EventQueue::SetSpareLinkedHookForTesting([] {
        const long long until = s_rounds.load() + 2;
        while (s_rounds.load() < until) {
            std::this_thread::yield();
        }
    });
    const long long count = kSanitized ? 100 : 400;
    const Drained drained = DrainWhilePushing(queue, 1, [&](size_t) {
        MetricsEvent event = Built(0, 0);
        for (long long i = 0; i < count; ++i) {
            event.paramPairs.assign(i % 2 == 0 ? 1280 : 1000, {MetricsValue(1), MetricsValue(2)});
            event.param2 = MetricsValue(i);
            event.paramPairs.back().second = MetricsValue(i);
            queue.PushBuilt(event);
        }
    });
    EventQueue::SetSpareLinkedHookForTesting(nullptr);
    EXPECT_EQ(drained.errors, 0);
    EXPECT_EQ(drained.total, count);
}

// A thread far ahead of a sleeping background thread wakes it, not only a flush does: with an
// idle poll of an hour, the first 15 chunks of a burst (some 8,900 records of 80 bytes, from a
// first chunk of 2 KiB doubling to 64 KiB) still arrive.
TEST(EventQueueTest, FarAheadBurstEndsTheBackgroundThreadsSleep) {
    DeliveryThread::SetIdlePollForTesting(std::chrono::hours(1));
    MetricsManager& manager = StartManager();
    auto recorder = Subscribe(false);
    manager.EmitEvent(Tagged(0, -1));
    manager.WaitUntilWritesFlushed(60000);
    while (!DeliveryThread::AsleepForTesting()) {
        std::this_thread::yield();
    }
    for (long long i = 0; i < 20000; ++i) {
        manager.EmitEvent(Tagged(0, i));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (recorder->Count() < 8000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(recorder->Count(), 8000u) << "the burst waited for the idle poll to end";
    DeliveryThread::SetIdlePollForTesting(std::chrono::milliseconds(0));
    manager.WaitUntilWritesFlushed(60000);
}

// The platform clock read in steps of 50 us: two threads that take turns emit far more than one
// event per step, as they would on a clock of 100 ns steps at full speed.
constexpr uint64_t kStepNs = 50000;

uint64_t CoarseTicks() {
    static const uint64_t step = PlatformTickFrequency() * kStepNs / 1000000000ULL;
    return PlatformTickCount() / step * step;
}

// A cycle counter of 3 GHz made of the platform's clock, for machines whose own counter the
// library does not use, and for counters that jump or change their rate. Like a real one it
// moves on by more than a nanosecond between any two readings, also on a platform clock of
// coarse steps, and reads far above the platform clock's own readings, so that only the era
// orders a stamp of one before a stamp of the other.
std::atomic<int64_t> s_counterOffset{0};
std::atomic<uint64_t> s_driftFrom{0};
std::atomic<uint64_t> s_lastCount{0};
uint64_t SimulatedCounter() {
    const uint64_t ns = GetTimestampNs();
    const uint64_t from = s_driftFrom.load();
    const uint64_t drift = from != 0 && ns > from ? (ns - from) / 20 : 0;  // 5% faster
    const uint64_t clock = 3 * ns + drift + (1ULL << 62);
    uint64_t last = s_lastCount.load();
    uint64_t next = 0;
    do {
        next = std::max(clock, last + 4);
    } while (!s_lastCount.compare_exchange_weak(last, next));
    return next + static_cast<uint64_t>(s_counterOffset.load());
}

enum class Clock { Platform, Counter };

std::string ClockName(const testing::TestParamInfo<Clock>& info) {
    return info.param == Clock::Platform ? "PlatformClock" : "CycleCounter";
}

// Starts the manager on the chosen clock: the platform's, made coarse, or the cycle counter (the
// CPU's where the library may use it, else the simulated one).
MetricsManager& StartOnClock(Clock clock) {
    if (clock == Clock::Platform) {
        SetTickSourceForTesting(&CoarseTicks);
        UseCounterForTesting(false);
        return StartManager();
    }
    if (!PlatformCounterUsable()) {
        SetCounterSourceForTesting(&SimulatedCounter);
    }
    MetricsManager& manager = StartManager();
    UseCounterForTesting(true);
    EXPECT_TRUE(CounterInUseForTesting());
    return manager;
}

class ClockOrderTest : public testing::TestWithParam<Clock> {};

// Events ordered by the host's synchronisation reach an asynchronous consumer in that order with
// strictly increasing stamps, even when they fall into one step of a coarse clock, and so does the
// shutdown event that follows the last one.
TEST_P(ClockOrderTest, HappensBeforeOrderHolds) {
    MetricsManager& manager = StartOnClock(GetParam());
    auto recorder = Subscribe(false);
    // This thread queues first, so that its producer comes first among equals.
    manager.EmitEvent(Tagged(9, -1));
    constexpr long long kTurns = 400;
    TakeTurns(kTurns);
    // The last turn happened before this: the shutdown event must come after it.
    EXPECT_TRUE(manager.Disable());
    const auto events = recorder->Events();
    ASSERT_EQ(events.size(), static_cast<size_t>(kTurns) + 1);
    for (long long i = 0; i < kTurns; ++i) {
        ASSERT_EQ(events[static_cast<size_t>(i) + 1].param2.m_int, i) << "delivered out of order";
    }
    for (size_t i = 2; i < events.size(); ++i) {
        EXPECT_LT(events[i - 1].timestamp, events[i].timestamp);
    }
    SetTickSourceForTesting(nullptr);
}

// Datetimes stay within a millisecond of the wall clock read around each emit, and follow a step
// of the wall clock (here an hour ahead, through the seam) from the next round on.
TEST_P(ClockOrderTest, DateTimesFollowTheWallClock) {
    if (kDateTimeAtEmit) {
        GTEST_SKIP() << "the emit takes the system time itself";
    }
    MetricsManager& manager = StartOnClock(GetParam());
    auto recorder = Subscribe(false);
    Context context(0, Context::Create(true));
    context.OpenScope();
    const auto wall = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    std::vector<std::pair<long long, long long>> around;
    for (long long i = 0; i < 20; ++i) {
        const long long before = wall();
        Attribute("rows", i, kBits);
        manager.EmitEvent(Tagged(0, i));
        around.emplace_back(before, wall());
        manager.WaitUntilWritesFlushed(60000);
    }
    constexpr int64_t kWallStepNs = 3600LL * 1000000000LL;
    SetWallClockForTesting([] { return PlatformWallNs() + kWallStepNs; });
    // The attribute is stamped before the step is measured and delivered in the round that
    // measures it; the host's event, converted as it is emitted, comes after that round.
    const long long before = wall() + 3600LL * 1000000;
    Attribute("rows", 20, kBits);
    manager.WaitUntilWritesFlushed(60000);
    manager.EmitEvent(Tagged(0, 20));
    manager.WaitUntilWritesFlushed(60000);
    around.emplace_back(before, wall() + 3600LL * 1000000);
    SetWallClockForTesting(nullptr);

    std::vector<MetricsEvent> events;
    for (const MetricsEvent& event : recorder->Events()) {
        if (event.eventType == kTagged || Text(event.param1) == "rows") {
            events.push_back(event);
        }
    }
    ASSERT_EQ(events.size(), around.size() * 2);
    for (size_t i = 0; i < events.size(); ++i) {
        const auto& [from, to] = around[i / 2];
        const long long datetime = static_cast<long long>(events[i].datetimeSeconds) * 1000000LL +
                                   events[i].datetimeMicroseconds;
        EXPECT_GE(datetime, from - 1000) << "event " << i;
        EXPECT_LE(datetime, to + 1000) << "event " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(EventQueueTest, ClockOrderTest,
                         testing::Values(Clock::Platform, Clock::Counter), ClockName);

// QUILLMETRICS_CLOCK=os keeps the stamps on the system's clock, even for rounds well past the
// few milliseconds it takes to measure the counter's rate.
TEST(EventQueueTest, SystemClockChosenInTheEnvironmentIsKept) {
#if defined(_WIN32)
    GTEST_SKIP() << "no cycle counter to choose against";
#else
    if (!PlatformCounterUsable()) {
        GTEST_SKIP() << "no cycle counter to choose against";
    }
    setenv("QUILLMETRICS_CLOCK", "os", 1);  // NOLINT(concurrency-mt-unsafe): before any thread
    MetricsManager& manager = StartManager();
    const uint64_t start = GetTimestampNs();
    while (GetTimestampNs() - start < 50000000) {  // ten times the measuring span
        manager.EmitEvent(Tagged(0, 0));
        manager.WaitUntilWritesFlushed(60000);
    }
    EXPECT_FALSE(CounterInUseForTesting());
#endif
}

enum class Anomaly { JumpBack, JumpAhead, Drift };

class CounterFallBackTest : public testing::TestWithParam<Anomaly> {};

// The cycle counter jumps back or ahead by ten seconds, or starts to run 5% fast, while two
// threads take turns with host events and attributes: the clock falls back to the platform's, and
// every event arrives once, in turn order, with stamps strictly increasing across the fall-back.
TEST_P(CounterFallBackTest, KeepsOrderAndLosesNothing) {
    SetCounterSourceForTesting(&SimulatedCounter);
    MetricsManager& manager = StartManager();
    auto recorder = Subscribe(false);
    UseCounterForTesting(true);
    ASSERT_TRUE(CounterInUseForTesting());
    constexpr long long kInjectAt = 200;
    constexpr long long kCap = 2000000;  // turns, should the clock never fall back
    std::atomic<long long> turn{0};
    std::atomic<long long> end{kCap};
    RunThreads(2, [&](size_t side) {
        Context context(0, Context::Create(true));
        context.OpenScope();
        for (auto i = static_cast<long long>(side);; i += 2) {
            while (turn.load(std::memory_order_acquire) != i && i < end.load()) {
                std::this_thread::yield();
            }
            if (i >= end.load()) {
                return;
            }
            if (i == kInjectAt) {
                if (GetParam() == Anomaly::Drift) {
                    s_driftFrom = GetTimestampNs();
                } else {
                    s_counterOffset =
                        GetParam() == Anomaly::JumpBack ? -30000000000LL : 30000000000LL;
                }
            }
            if (i % 2 == 0) {
                manager.EmitEvent(Tagged(side, i));
            } else {
                Attribute("turn", i, kBits);
            }
            if (i > kInjectAt && end.load() == kCap && !CounterInUseForTesting()) {
                end = i + 200;
            }
            turn.store(i + 1, std::memory_order_release);
        }
    });
    EXPECT_FALSE(CounterInUseForTesting()) << "the clock never fell back";
    EXPECT_TRUE(manager.Disable());
    std::vector<MetricsEvent> turns;
    for (const MetricsEvent& event : recorder->Events()) {
        if (event.eventType == kTagged || Text(event.param1) == "turn") {
            turns.push_back(event);
        }
    }
    ASSERT_EQ(turns.size(), static_cast<size_t>(end.load()));
    for (size_t i = 0; i < turns.size(); ++i) {
        ASSERT_EQ(turns[i].param2.m_int, static_cast<long long>(i)) << "lost or out of order";
        if (i > 0) {
            ASSERT_LT(turns[i - 1].timestamp, turns[i].timestamp) << "at turn " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EventQueueTest, CounterFallBackTest,
                         testing::Values(Anomaly::JumpBack, Anomaly::JumpAhead, Anomaly::Drift),
                         [](const testing::TestParamInfo<Anomaly>& info) {
                             return info.param == Anomaly::JumpBack    ? "JumpBack"
                                    : info.param == Anomaly::JumpAhead ? "JumpAhead"
                                                                       : "Drift";
                         });

// A counter whose readings reach the caller late, as when the thread is preempted or waits for
// the clock's lock right after reading it.
std::atomic<int> s_heldUpUs{0};
uint64_t HeldUpCounter() {
    const uint64_t ticks = SimulatedCounter();
    std::this_thread::sleep_for(std::chrono::microseconds(s_heldUpUs.load()));
    return ticks;
}

// A thread held up after reading a sound counter is no jump: once the range is behind (every
// calibration is thrown away, its readings lagging too), each emit that checks the counter
// against the platform's clock itself keeps it, and stamps still increase.
TEST(EventQueueTest, AThreadHeldUpAfterReadingTheCounterKeepsIt) {
    SetCounterSourceForTesting(&HeldUpCounter);
    MetricsManager& manager = StartManager();
    auto recorder = Subscribe(false);
    UseCounterForTesting(true);
    ASSERT_TRUE(CounterInUseForTesting());
    s_heldUpUs = 2000;
    Context context(0, Context::Create(true));
    context.OpenScope();
    constexpr long long kEmits = 12;  // 2 ms each: well past the range of the last calibration
    for (long long i = 0; i < kEmits; ++i) {
        Attribute("held", i, kBits);
    }
    EXPECT_TRUE(CounterInUseForTesting()) << "a late reading was taken for a jump";
    s_heldUpUs = 0;
    manager.WaitUntilWritesFlushed(60000);
    std::vector<MetricsEvent> held;
    for (const MetricsEvent& event : recorder->Events()) {
        if (Text(event.param1) == "held") {
            held.push_back(event);
        }
    }
    ASSERT_EQ(held.size(), static_cast<size_t>(kEmits));
    for (size_t i = 1; i < held.size(); ++i) {
        EXPECT_EQ(held[i].param2.m_int, static_cast<long long>(i));
        EXPECT_LT(held[i - 1].timestamp, held[i].timestamp);
    }
}

}  // namespace
}  // namespace Metrics::Testing
