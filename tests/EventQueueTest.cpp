// The hand-off queue driven directly, and cross-thread order through the manager on a clock that
// ticks coarsely.

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "EventQueue.h"
#include "MetricsClock.h"
#include "support/RecordingListener.h"
#include "support/StressSupport.h"
#include "support/Watchdog.h"

namespace Metrics {
namespace {

using Testing::kSanitized;
using Testing::Watchdog;

using Testing::Tagged;

std::shared_ptr<MetricsEvent> Stamped(unsigned long long producer, long long sequence,
                                      unsigned long long stamp) {
    auto event = Tagged(producer, sequence);
    event->timestamp = stamp;
    return event;
}

std::vector<std::pair<unsigned long long, long long>> Tags(
    const std::vector<EventQueue::Node*>& batch) {
    std::vector<std::pair<unsigned long long, long long>> tags;
    for (const EventQueue::Node* node : batch) {
        const MetricsEvent& event = *EventQueue::EventOf(node);
        tags.emplace_back(event.subjectId, event.param2.m_int);
    }
    return tags;
}

// One round merges the threads' events by stamp while keeping each thread's own order; what is
// delivered goes back to the thread that made it, which frees it at its next push, and a thread
// that has ended has its events freed by the round itself.
TEST(EventQueueTest, RoundsMergeByStampAndHandEventsBack) {
    EventQueue queue;
    std::weak_ptr<MetricsEvent> mine;
    std::weak_ptr<MetricsEvent> ended;
    {
        auto first = Stamped(0, 0, 10);
        mine = first;
        queue.Push(std::move(first));
    }
    queue.Push(Stamped(0, 1, 30));
    queue.Push(Stamped(0, 2, 5));  // a stamp out of step keeps its place in its thread's order
    std::thread([&] {
        auto event = Stamped(1, 0, 20);
        ended = event;
        queue.Push(std::move(event));
        queue.Push(Stamped(1, 1, 40));
    }).join();
    EXPECT_EQ(queue.PushedCount(), 5u);

    std::vector<EventQueue::Node*> batch;
    bool more = true;
    queue.TakeRound(batch, more);
    EXPECT_FALSE(more);
    using Tag = std::pair<unsigned long long, long long>;
    EXPECT_EQ(Tags(batch), (std::vector<Tag>{{0, 0}, {1, 0}, {0, 1}, {0, 2}, {1, 1}}));
    queue.Release(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(ended.expired()) << "an ended thread's events are freed by the round";
    EXPECT_FALSE(mine.expired()) << "a live thread frees its own events";
    queue.Push(Stamped(0, 3, 50));
    EXPECT_TRUE(mine.expired()) << "freed at the thread's next push";

    queue.TakeRound(batch, more);
    EXPECT_EQ(Tags(batch), (std::vector<Tag>{{0, 3}}));
    queue.Release(batch);
    queue.TakeRound(batch, more);
    EXPECT_TRUE(batch.empty());
    EXPECT_FALSE(more);
    queue.ReleaseIdle();  // nothing is left waiting for a quiet thread
}

// Producers push in a tight loop while the consumer takes and releases rounds back to back, so
// that pushes race the takes and the hand-backs all the time.
TEST(EventQueueTest, ContendedRoundsDeliverEachEventOnceInOrder) {
    const Watchdog watchdog(std::chrono::seconds(120), "contended queue");
    EventQueue queue;
    constexpr size_t kProducers = 3;
    const long long each = kSanitized ? 20000 : 200000;
    std::atomic<size_t> finished{0};
    std::vector<std::thread> producers;
    for (size_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (long long i = 0; i < each; ++i) {
                auto event = Tagged(p, i);
                event->timestamp = GetTimestampNs();
                queue.Push(std::move(event));
            }
            finished.fetch_add(1);
        });
    }
    std::vector<long long> next(kProducers, 0);
    long long total = 0;
    long long errors = 0;
    std::vector<EventQueue::Node*> batch;
    bool more = false;
    while (true) {
        const bool allPushed = finished.load() == kProducers;
        queue.TakeRound(batch, more);
        for (const EventQueue::Node* node : batch) {
            const MetricsEvent& event = *EventQueue::EventOf(node);
            ASSERT_LT(event.subjectId, kProducers);
            errors += event.param2.m_int != next[event.subjectId] ? 1 : 0;
            next[event.subjectId] = event.param2.m_int + 1;
            ++total;
        }
        const bool empty = batch.empty();
        queue.Release(batch);
        if (allPushed && empty && !more) {
            break;
        }
    }
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(total, each * static_cast<long long>(kProducers));
    EXPECT_EQ(queue.PushedCount(), static_cast<unsigned long long>(total));
}

// The event clock read in steps of 50 us: two threads that take turns emit far more than one
// event per step, as they would on a clock of 100 ns steps at full speed.
constexpr uint64_t kStepNs = 50000;

uint64_t CoarseTicks() {
    static const uint64_t step = PlatformTickFrequency() * kStepNs / 1000000000ULL;
    return PlatformTickCount() / step * step;
}

// Events ordered by the host's synchronisation reach an asynchronous consumer in that order even
// when they fall into one clock step, and so does the shutdown event that follows the last one.
TEST(EventQueueTest, CoarseClockKeepsHappensBeforeOrder) {
    const Watchdog watchdog(std::chrono::seconds(120), "coarse clock turns");
    SetTickSourceForTesting(&CoarseTicks, kStepNs);
    MetricsManager& manager = Testing::StartManager();
    auto recorder = Testing::Subscribe(false);
    // This thread queues first, so that its producer comes first among equals.
    manager.EmitEvent(Tagged(9, -1));
    constexpr long long kTurns = 400;
    Testing::TakeTurns(kTurns);
    // The last turn happened before this: the shutdown event must come after it.
    EXPECT_TRUE(manager.Disable());
    const auto events = recorder->Events();
    ASSERT_EQ(events.size(), static_cast<size_t>(kTurns) + 1);
    for (long long i = 0; i < kTurns; ++i) {
        ASSERT_EQ(events[static_cast<size_t>(i) + 1].param2.m_int, i) << "delivered out of order";
    }
    // Nothing emitted twice in a row by different threads shares a stamp.
    for (size_t i = 2; i < events.size(); ++i) {
        EXPECT_LT(events[i - 1].timestamp, events[i].timestamp);
    }
    SetTickSourceForTesting(nullptr, 0);
}

}  // namespace
}  // namespace Metrics
