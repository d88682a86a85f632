// Delivery under stress: many emitters, consumers that come and go, re-entrant and stalled
// consumers, flushes and cross-thread order. Every test carries a watchdog, waits on counts rather
// than sleeping, and checks loss, duplication and order exactly through tagged events.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "support/RecordingListener.h"
#include "support/StressSupport.h"
#include "support/Watchdog.h"

namespace Metrics {
namespace {

using Testing::CheckerPtr;
using Testing::kBits;
using Testing::kSanitized;
using Testing::kTagged;
using Testing::ListenerPtr;
using Testing::SequenceChecker;
using Testing::Tagged;
using Testing::Watchdog;

TEST(DeliveryStressTest, DeliveryStaysExactWhileConsumersChange) {
    const Watchdog watchdog(std::chrono::seconds(240), "concurrent delivery");
    constexpr size_t kProducers = 8;
    const long long perProducer = kSanitized ? 10000 : 100000;
    MetricsManager& manager = Testing::StartManager();
    const CheckerPtr sync(new SequenceChecker(kProducers, true));
    const CheckerPtr async1(new SequenceChecker(kProducers, true));
    const CheckerPtr async2(new SequenceChecker(kProducers, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(sync), kBits, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(async1), kBits, false));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(async2), ~0ULL, false));

    std::atomic<bool> stop{false};
    std::vector<CheckerPtr> transients;
    std::thread churn([&] {
        CheckerPtr current;
        for (int round = 0; !stop.load(); ++round) {
            CheckerPtr next(new SequenceChecker(kProducers, false));
            manager.AddConsumer(ListenerPtr(next), kBits, round % 2 == 0);
            if (current) {
                manager.RemoveConsumer(ListenerPtr(current));
            }
            transients.push_back(next);
            current = next;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> producers;
    producers.reserve(kProducers);
    for (size_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&manager, p, perProducer] {
            for (long long i = 0; i < perProducer; ++i) {
                manager.EmitEvent(Tagged(p, i));
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    stop = true;
    churn.join();
    manager.WaitUntilWritesFlushed(120000);

    for (const auto& checker : {sync, async1, async2}) {
        EXPECT_EQ(checker->Errors(), 0);
        for (size_t p = 0; p < kProducers; ++p) {
            EXPECT_EQ(checker->Next(p), perProducer) << "producer " << p;
        }
    }
    long long transientEvents = 0;
    for (const auto& transient : transients) {
        EXPECT_EQ(transient->Errors(), 0);
        transientEvents += transient->Total();
    }
    EXPECT_GT(transients.size(), 1u);
    EXPECT_GT(transientEvents, 0);
}

// Two threads take turns: each emits only after seeing the other's last emit finish, so every event
// happened after the one before it, and must be delivered after it although threads alternate.
TEST(DeliveryStressTest, HappensBeforeOrderHoldsAcrossThreads) {
    const Watchdog watchdog(std::chrono::seconds(120), "alternating emitters");
    MetricsManager& manager = Testing::StartManager();
    auto recorder = Testing::Subscribe(false);
    const long long turns = kSanitized ? 2000 : 20000;
    Testing::TakeTurns(turns);
    manager.WaitUntilWritesFlushed(60000);
    const auto events = recorder->Events();
    ASSERT_EQ(events.size(), static_cast<size_t>(turns));
    for (long long i = 0; i < turns; ++i) {
        ASSERT_EQ(events[static_cast<size_t>(i)].param2.m_int, i) << "delivered out of order";
    }
}

TEST(DeliveryStressTest, FlushIsExactWithSeveralEmitters) {
    const Watchdog watchdog(std::chrono::seconds(120), "flush with several emitters");
    constexpr size_t kProducers = 3;
    MetricsManager& manager = Testing::StartManager();
    const CheckerPtr async(new SequenceChecker(kProducers, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(async), ~0ULL, false));
    std::atomic<int> early{0};
    std::vector<std::thread> producers;
    producers.reserve(kProducers);
    for (size_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (long long i = 0; i < 300; ++i) {
                manager.EmitEvent(Tagged(p, i));
                manager.WaitUntilWritesFlushed(30000);
                if (async->Next(p) != i + 1) {
                    ++early;
                }
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(early.load(), 0) << "a flush returned before the caller's own event was delivered";
    EXPECT_EQ(async->Errors(), 0);
}

TEST(DeliveryStressTest, ReentrantSynchronousConsumerNeverDeadlocks) {
    const Watchdog watchdog(std::chrono::seconds(60), "re-entrant consumer");
    MetricsManager& manager = Testing::StartManager();

    class Echo : public IMetricsListener {
    public:
        void OnEvent(const MetricsEvent& event) override {
            if (event.eventType == kTagged && event.subjectId == 0) {
                MetricsManager& manager = MetricsManager::GetInstance();
                manager.EmitEvent(Tagged(1, event.param2.m_int));  // emits from inside
                // Registering from here would wait for ever on the lock this thread holds.
                if (manager.AddConsumer(ListenerPtr(new Echo()), 0, true)) {
                    ++refusalsMissed;
                }
            }
        }
        std::atomic<int> refusalsMissed{0};
    };
    const RefCntPtr<Echo, RefCntObject> echo(new Echo());
    const CheckerPtr checker(new SequenceChecker(2, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(echo), ~0ULL, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(checker), ~0ULL, false));

    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            const CheckerPtr transient(new SequenceChecker(2, false));
            manager.AddConsumer(ListenerPtr(transient), ~0ULL, true);
            manager.RemoveConsumer(ListenerPtr(transient));
        }
    });
    const long long count = kSanitized ? 5000 : 50000;
    for (long long i = 0; i < count; ++i) {
        manager.EmitEvent(Tagged(0, i));
    }
    stop = true;
    churn.join();
    manager.WaitUntilWritesFlushed(60000);
    EXPECT_EQ(echo->refusalsMissed.load(), 0);
    EXPECT_EQ(checker->Errors(), 0);
    EXPECT_EQ(checker->Next(0), count);
    EXPECT_EQ(checker->Next(1), count);
}

TEST(DeliveryStressTest, StalledConsumerBacklogIsDeliveredAfterRelease) {
    const Watchdog watchdog(std::chrono::seconds(240), "stalled consumer");
    MetricsManager& manager = MetricsManager::GetInstance();
    std::atomic<int> largestBatch{0};
    manager.SetQueueCounterUpdateFunction([&](int count) {
        if (count > largestBatch.load()) {
            largestBatch = count;
        }
    });
    manager.Enable();
    manager.SetBits(~0ULL);

    const Testing::GatePtr gate(new Testing::GateListener());
    const CheckerPtr checker(new SequenceChecker(1, true));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(gate), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(ListenerPtr(checker), ~0ULL, false));
    manager.EmitEvent(Tagged(0, 0));
    gate->WaitUntilInside();  // the thread is stuck
    const long long backlog = kSanitized ? 100000 : 1000000;
    for (long long i = 1; i <= backlog; ++i) {
        manager.EmitEvent(Tagged(0, i));
    }
    gate->Open();
    manager.WaitUntilWritesFlushed(200000);
    EXPECT_EQ(checker->Next(0), backlog + 1);
    EXPECT_EQ(checker->Errors(), 0);
    EXPECT_GE(largestBatch.load(), backlog / 2) << "the queue counter did not see the backlog";
    manager.SetQueueCounterUpdateFunction(nullptr);
}

}  // namespace
}  // namespace Metrics
