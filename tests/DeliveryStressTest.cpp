// Delivery under stress: many emitters, consumers that come and go, re-entrant and stalled
// consumers, flushes and cross-thread order. Tests wait on counts rather than sleeping, and check
// loss, duplication and order exactly through tagged events.

#include "support/RecordingListener.h"
#include "support/StressSupport.h"

namespace Metrics::Testing {
namespace {

TEST(DeliveryStressTest, DeliveryStaysExactWhileConsumersChange) {
    constexpr size_t kProducers = 8;
    const long long perProducer = kSanitized ? 10000 : 100000;
    MetricsManager& manager = StartManager();
    const CheckerPtr sync = Check(kProducers, true, true, kBits);
    const CheckerPtr async1 = Check(kProducers, true, false, kBits);
    const CheckerPtr async2 = Check(kProducers, true, false);

    std::atomic<bool> stop{false};
    std::vector<CheckerPtr> transients;
    std::thread churn([&] {
        CheckerPtr current;
        for (int round = 0; !stop.load(); ++round) {
            CheckerPtr next(new SequenceChecker(kProducers, false));
            manager.AddConsumer(ListenerPtr(next), kBits, round % 2 == 0);
            if (current) {
                manager.RemoveConsumer(ListenerPtr(current));
                current->Removed();
            }
            transients.push_back(next);
            current = next;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    RunThreads(kProducers, [&](size_t p) {
        for (long long i = 0; i < perProducer; ++i) {
            manager.EmitEvent(Tagged(p, i));
        }
    });
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

// Each of three threads flushes after each of its emits: the flush must not return before that
// event was delivered, even when a round is taken while the emit's record is still on its way to
// memory (rare: many rounds are needed to meet it).
TEST(DeliveryStressTest, FlushesHoldAcrossThreads) {
    MetricsManager& manager = StartManager();
    constexpr size_t kProducers = 3;
    const long long perProducer = kSanitized ? 1000 : 5000;
    const CheckerPtr async = Check(kProducers, true, false);
    std::atomic<int> early{0};
    RunThreads(kProducers, [&](size_t p) {
        for (long long i = 0; i < perProducer; ++i) {
            manager.EmitEvent(Tagged(p, i));
            manager.WaitUntilWritesFlushed(30000);
            early += async->Next(p) != i + 1 ? 1 : 0;
        }
    });
    EXPECT_EQ(early.load(), 0) << "a flush returned before the caller's own event was delivered";
    EXPECT_EQ(async->Errors(), 0);
}

TEST(DeliveryStressTest, ReentrantSynchronousConsumerNeverDeadlocks) {
    MetricsManager& manager = StartManager();
    std::atomic<int> refusalsMissed{0};
    const ListenerPtr echo = Callback([&](const MetricsEvent& event) {
        if (event.eventType == kTagged && event.subjectId == 0) {
            manager.EmitEvent(Tagged(1, event.param2.m_int));  // emits from inside
            // Registering from here would wait for ever on the lock this thread holds.
            refusalsMissed += manager.AddConsumer(Callback({}), 0, true) ? 1 : 0;
        }
    });
    ASSERT_TRUE(manager.AddConsumer(echo, ~0ULL, true));
    const CheckerPtr checker = Check(2, true, false);

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
    EXPECT_EQ(refusalsMissed.load(), 0);
    EXPECT_EQ(checker->Errors(), 0);
    EXPECT_EQ(checker->Next(0), count);
    EXPECT_EQ(checker->Next(1), count);
    ASSERT_TRUE(manager.RemoveConsumer(echo));  // it refers to this frame
}

TEST(DeliveryStressTest, StalledConsumerBacklogIsDeliveredAfterRelease) {
    MetricsManager& manager = MetricsManager::GetInstance();
    // Shared with the hook, which the background thread may still be running once it is removed.
    const auto largest = std::make_shared<std::atomic<int>>(0);
    std::atomic<int>& largestBatch = *largest;
    manager.SetQueueCounterUpdateFunction([largest](int count) {
        if (count > largest->load()) {
            largest->store(count);
        }
    });
    StartManager();
    const GatePtr gate(new GateListener());
    ASSERT_TRUE(manager.AddConsumer(AsListener(gate), ~0ULL, false));
    const CheckerPtr checker = Check(1, true, false);
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
}  // namespace Metrics::Testing
