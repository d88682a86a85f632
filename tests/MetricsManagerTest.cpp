#include <future>

#include "support/AllocationHooks.h"
#include "support/RecordingListener.h"
#include "support/StressSupport.h"

namespace Metrics::Testing {
namespace {

// A consumer that counts its own destruction, so a test can see when the manager lets go of it.
ListenerPtr Tracked(std::atomic<int>& destroyed) {
    return Callback(nullptr, [&destroyed] { ++destroyed; });
}

TEST(MetricsManagerTest, IdleManagerDropsEverything) {
    MetricsManager& manager = MetricsManager::GetInstance();
    EXPECT_EQ(&manager, &MetricsManager::GetInstance());
    EXPECT_FALSE(manager.IsRunning());
    auto listener = MakeRecordingListener();
    EXPECT_FALSE(manager.AddConsumer(AsListener(listener), ~0ULL, true));
    manager.SetBits(~0ULL);
    manager.EmitEvent(TaggedAttribute(0));
    manager.WaitUntilWritesFlushed(60000);  // returns at once: nothing runs
    EXPECT_EQ(listener->Count(), 0u);
}

TEST(MetricsManagerTest, StampsAndDeliversInEmitOrder) {
    MetricsManager& manager = StartManager(0x1000);
    auto sync = Subscribe(true);
    auto async = Subscribe(false);
    const auto before = std::time(nullptr);
    for (int i = 0; i < 100; ++i) {
        manager.EmitEvent(TaggedAttribute(0x1000, i));
    }
    EXPECT_EQ(sync->Count(), 100u);  // synchronous delivery happened inside EmitEvent
    manager.WaitUntilWritesFlushed(10000);
    const auto events = async->Events();
    ASSERT_EQ(events.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(events[i].param2.m_int, i);
        EXPECT_GE(static_cast<long long>(events[i].datetimeSeconds), before - 1);
        EXPECT_LT(events[i].datetimeMicroseconds, 1000000u);
        if (i > 0) {
            EXPECT_GE(events[i].timestamp, events[i - 1].timestamp);
        }
    }
    EXPECT_GT(events.back().timestamp, 0u);
    const std::thread::id emitter = std::this_thread::get_id();
    for (const auto thread : sync->Threads()) {
        EXPECT_EQ(thread, emitter);
    }
    for (const auto thread : async->Threads()) {
        EXPECT_NE(thread, emitter);
    }
}

TEST(MetricsManagerTest, DisableDeliversShutdownToSynchronousConsumersOnly) {
    MetricsManager& manager = StartManager(0x1000);
    auto sync = Subscribe(true, 0);
    auto async = Subscribe(false, 0);
    manager.EmitEvent(TaggedAttribute(0x1000));  // categorised, outside both consumer masks
    manager.EmitEvent(TaggedAttribute(0, 7));

    EXPECT_TRUE(manager.Disable());
    EXPECT_FALSE(manager.IsRunning());
    const auto syncEvents = sync->Events();
    EXPECT_EQ(sync->Tags(), (std::vector<long long>{7, 0}));
    EXPECT_EQ(syncEvents.back().eventType, MetricsEventType::Shutdown);
    EXPECT_GT(syncEvents.back().timestamp, 0u);
    EXPECT_EQ(async->Types(), std::vector<MetricsEventType>{MetricsEventType::Attribute});

    // Everything after the shutdown is a no-op with its refusal result.
    EXPECT_TRUE(manager.Disable());
    manager.Enable();
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_EQ(manager.GetBits(), 0u);
    EXPECT_EQ(manager.SetBits(0x1000), 0u);
    EXPECT_EQ(manager.GetBits(), 0u);
    manager.SetBitsAbsolute(0x1000);
    EXPECT_EQ(manager.GetBits(), 0u);
    EXPECT_FALSE(TestBits(0));
    EXPECT_FALSE(manager.AddConsumer(AsListener(sync), 0, true));
    EXPECT_FALSE(manager.RemoveConsumer(AsListener(sync)));
    manager.EmitEvent(TaggedAttribute(0));
    EXPECT_EQ(sync->Count(), 2u);
    EXPECT_EQ(manager.GetNextContextId(), 0u);
    EXPECT_EQ(manager.GetCurrentThreadContextId(), 0u);
    manager.SetTLSDiagnosticType(MetricsManager::TLSDiagnosticType::Log);
    EXPECT_EQ(manager.GetTLSDiagnosticType(), MetricsManager::TLSDiagnosticType::None);
    EXPECT_NE(manager.GetThreadContext(), manager.GetThreadContext());
    MetricsManager::ShutdownAndFreeInstance();
    EXPECT_EQ(&manager, &MetricsManager::GetInstance());
}

TEST(MetricsManagerTest, DisableRightAfterEnableStillEndsTheThread) {
    MetricsManager& manager = MetricsManager::GetInstance();
    std::atomic<int> destroyed{0};
    manager.Enable();
    ASSERT_TRUE(manager.AddConsumer(Tracked(destroyed), 0, false));
    EXPECT_TRUE(manager.Disable());
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_EQ(destroyed.load(), 1);  // the consumers were released
}

TEST(MetricsManagerTest, ShutdownBeforeFirstInstanceLeavesItInert) {
    MetricsManager::ShutdownAndFlush();
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_TRUE(manager.Disable());
}

TEST(MetricsManagerTest, ConsumersThrowingLoseOnlyTheirDelivery) {
    MetricsManager& manager = StartManager();
    const auto throwing = [](bool standard) {
        return Callback([standard](const MetricsEvent&) {
            if (standard) {
                throw std::runtime_error("consumer failed");
            }
            throw 42;  // NOLINT(hicpp-exception-baseclass)
        });
    };
    const ListenerPtr standard = throwing(true);
    ASSERT_TRUE(manager.AddConsumer(standard, ~0ULL, true));
    auto after = Subscribe(true);
    ASSERT_TRUE(manager.AddConsumer(throwing(true), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(throwing(false), ~0ULL, false));
    auto async = Subscribe(false);

    manager.EmitEvent(TaggedAttribute(0, 1));
    EXPECT_EQ(after->Count(), 1u);

    // A non-standard exception leaves EmitEvent, with the consumer lock released.
    ASSERT_TRUE(manager.RemoveConsumer(standard));
    const ListenerPtr foreign = throwing(false);
    ASSERT_TRUE(manager.AddConsumer(foreign, ~0ULL, true));
    EXPECT_ANY_THROW(manager.EmitEvent(TaggedAttribute(0, 2)));
    EXPECT_TRUE(manager.RemoveConsumer(foreign));

    manager.EmitEvent(TaggedAttribute(0, 3));
    manager.WaitUntilWritesFlushed(10000);
    // The background thread survived both throwing consumers and delivered to the one behind them.
    EXPECT_EQ(async->Tags(), (std::vector<long long>{1, 3}));
}

// What a host needs before it unloads code that emitted or consumed: after a flush the library
// holds none of the flushed events, and after RemoveConsumer it neither runs nor holds the
// consumer.
TEST(MetricsManagerTest, FlushAndRemovalLetGoOfTheHostsObjects) {
    MetricsManager& manager = StartManager();
    auto async = Subscribe(false);
    std::vector<std::weak_ptr<MetricsEvent>> fromOther;
    std::promise<void> emitted;
    std::promise<void> quit;
    std::thread other([&, done = quit.get_future()] {  // emits, then stays alive and quiet
        for (int i = 0; i < 20; ++i) {
            auto event = TaggedAttribute(0, i);
            fromOther.push_back(event);
            manager.EmitEvent(std::move(event));
        }
        emitted.set_value();
        done.wait();
    });
    emitted.get_future().wait();
    for (int round = 0; round < 20; ++round) {
        auto event = TaggedAttribute(0, round);
        const std::weak_ptr<MetricsEvent> mine = event;
        manager.EmitEvent(std::move(event));
        manager.WaitUntilWritesFlushed(10000);
        EXPECT_TRUE(mine.expired()) << "round " << round;
    }
    for (const auto& weak : fromOther) {
        EXPECT_TRUE(weak.expired());
    }
    quit.set_value();
    other.join();

    std::atomic<bool> inside{false};
    std::thread::id destroyedOn;
    {
        const ListenerPtr slow = Callback(
            [&](const MetricsEvent&) {
                inside = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                inside = false;
            },
            [&] { destroyedOn = std::this_thread::get_id(); });
        ASSERT_TRUE(manager.AddConsumer(slow, ~0ULL, false));
        manager.EmitEvent(TaggedAttribute(0));
        while (!inside.load()) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(manager.RemoveConsumer(slow));
        EXPECT_FALSE(inside.load()) << "RemoveConsumer returned while the consumer still ran";
    }
    EXPECT_EQ(destroyedOn, std::this_thread::get_id()) << "the manager still held the consumer";
}

// Only the manager's own shutdown event ends delivery: a host's event of that type passes the
// gate, or not, like any other, and reaches every consumer.
TEST(MetricsManagerTest, HostEventOfShutdownTypeIsAnOrdinaryEvent) {
    MetricsManager& manager = StartManager(0x10000);
    auto sync = Subscribe(true);
    auto async = Subscribe(false);
    auto host = TaggedAttribute(0x10000, 1);
    host->eventType = MetricsEventType::Shutdown;
    auto gated = TaggedAttribute(0x20000, 2);
    gated->eventType = MetricsEventType::Shutdown;
    manager.EmitEvent(host);
    manager.EmitEvent(gated);
    manager.EmitEvent(TaggedAttribute(0x10000, 3));
    manager.WaitUntilWritesFlushed(10000);
    // The gate drops an event before it stamps it.
    EXPECT_EQ(gated->timestamp, 0u);
    EXPECT_EQ(gated->datetimeSeconds, 0u);
    EXPECT_GT(host->timestamp, 0u);
    for (const auto& listener : {sync, async}) {
        EXPECT_EQ(listener->Tags(), (std::vector<long long>{1, 3}));
        EXPECT_EQ(listener->Types().front(), MetricsEventType::Shutdown);
    }
    EXPECT_TRUE(manager.IsRunning());
    auto later = Subscribe(false);
    manager.EmitEvent(TaggedAttribute(0x10000, 4));
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(later->Count(), 1u);
    EXPECT_TRUE(manager.Disable());
    EXPECT_EQ(async->Count(), 3u);
}

// A start that cannot create the thread leaves the manager as it was, and a later one works.
TEST(MetricsManagerTest, FailedEnableLeavesTheManagerStopped) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: on Windows the test's replacement operator new does not reach "
                    "allocations made inside the DLLs";
#endif
    MetricsManager& manager = MetricsManager::GetInstance();
    FailAllocations(true);
    EXPECT_THROW(manager.Enable(), std::bad_alloc);
    FailAllocations(false);
    EXPECT_FALSE(manager.IsRunning());
    auto listener = MakeRecordingListener();
    EXPECT_FALSE(manager.AddConsumer(AsListener(listener), ~0ULL, false));

    manager.Enable();
    ASSERT_TRUE(manager.IsRunning());
    ASSERT_TRUE(manager.AddConsumer(AsListener(listener), ~0ULL, false));
    manager.SetBits(0x10000);
    manager.EmitEvent(TaggedAttribute(0x10000));
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(listener->Count(), 1u);
    EXPECT_TRUE(manager.Disable());
}

// Removing a consumer waits only for that consumer: not for another one that is slow, and the
// background thread holds no reference to the removed one.
TEST(MetricsManagerTest, RemovalDoesNotWaitForOtherConsumers) {
    MetricsManager& manager = StartManager();
    const GatePtr gate(new GateListener());
    std::atomic<int> destroyed{0};
    auto witness = MakeRecordingListener();
    ASSERT_TRUE(manager.AddConsumer(AsListener(gate), ~0ULL, false));
    {
        const ListenerPtr idle = Tracked(destroyed);
        ASSERT_TRUE(manager.AddConsumer(idle, ~0ULL, false));
        ASSERT_TRUE(manager.AddConsumer(AsListener(witness), ~0ULL, false));
        manager.EmitEvent(TaggedAttribute(0, 1));
        gate->WaitUntilInside();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(manager.RemoveConsumer(idle));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        EXPECT_TRUE(gate->Inside());
    }
    EXPECT_EQ(destroyed.load(), 1) << "the background thread still held the removed consumer";
    // The held event counts as queued until its whole batch is delivered.
    manager.EmitEvent(TaggedAttribute(0, 2));
    EXPECT_EQ(manager.GetQueuedEventCount(), 2u);
    gate->Open();
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(manager.GetQueuedEventCount(), 0u);
    EXPECT_EQ(witness->Count(), 2u);  // the events go on to the consumers still registered
}

// The thread lets go of a consumer's name as soon as its call returns: a removal waits for that
// call, not for the rest of its batch (here a long run of events that reach no consumer, slow
// since each is looked at by many registrations that do not take it), and returns at once for
// the consumer called last before the thread went idle.
TEST(MetricsManagerTest, RemovalWaitsForTheCallNotTheBatch) {
    using Clock = std::chrono::steady_clock;
    MetricsManager& manager = StartManager();
    const ListenerPtr idle = Callback(nullptr);
    for (int i = 0; i < (kSanitized ? 1000 : 5000); ++i) {
        ASSERT_TRUE(manager.AddConsumer(idle, 0x4000, false));
    }
    const GatePtr gate(new GateListener());
    ASSERT_TRUE(manager.AddConsumer(AsListener(gate), 0x8000, false));
    std::promise<Clock::time_point> called;
    const ListenerPtr mine = Callback([&](const MetricsEvent&) { called.set_value(Clock::now()); });
    ASSERT_TRUE(manager.AddConsumer(mine, 0x1000, false));
    // While the thread is held, the next batch gathers the event for mine and the tail behind it.
    manager.EmitEvent(TaggedAttribute(0x8000));
    gate->WaitUntilInside();
    manager.EmitEvent(TaggedAttribute(0x1000));
    for (int i = 0; i < 20000; ++i) {
        manager.EmitEvent(TaggedAttribute(0x2000));
    }
    gate->Open();
    const Clock::time_point returned = called.get_future().get();
    EXPECT_TRUE(manager.RemoveConsumer(mine));
    const Clock::duration waited = Clock::now() - returned;
    manager.WaitUntilWritesFlushed(60000);
    const Clock::duration tail = Clock::now() - returned;
    EXPECT_LT(waited * 4, tail) << "the removal waited for the batch";

    auto last = Subscribe(false, 0x1000);
    manager.EmitEvent(TaggedAttribute(0x1000));
    manager.WaitUntilWritesFlushed(10000);
    const auto started = Clock::now();
    EXPECT_TRUE(manager.RemoveConsumer(AsListener(last)));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
}

// A consumer that takes event after event stays named between its calls, so that the thread pays
// the barrier once per run of calls; its removal in the middle of a long run still waits only for
// the call in progress and the check before the next one, not for the rest of the batch (slow
// here since each event is looked at by many registrations that do not take it), and no call
// comes after it returned.
TEST(MetricsManagerTest, RemovalInARunOfCallsWaitsForOneCall) {
    using Clock = std::chrono::steady_clock;
    MetricsManager& manager = StartManager();
    std::atomic<bool> removed{false};
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterRemoval{0};
    // Called first at each event, and a little slow, so that the removal mostly lands between its
    // call and the next event.
    const ListenerPtr mine = Callback([&](const MetricsEvent&) {
        if (removed.load()) {
            callsAfterRemoval.fetch_add(1);
        }
        calls.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    });
    ASSERT_TRUE(manager.AddConsumer(mine, 0x1000, false));
    const ListenerPtr idle = Callback(nullptr);
    for (int i = 0; i < (kSanitized ? 1000 : 5000); ++i) {
        ASSERT_TRUE(manager.AddConsumer(idle, 0x4000, false));
    }
    const GatePtr gate(new GateListener());
    ASSERT_TRUE(manager.AddConsumer(AsListener(gate), 0x8000, false));
    // One batch: the run for mine gathers while the thread is held.
    manager.EmitEvent(TaggedAttribute(0x8000));
    gate->WaitUntilInside();
    const int run = 20000;
    for (int i = 0; i < run; ++i) {
        manager.EmitEvent(TaggedAttribute(0x1000));
    }
    gate->Open();
    while (calls.load() < 50) {
        std::this_thread::yield();
    }
    const auto started = Clock::now();
    EXPECT_TRUE(manager.RemoveConsumer(mine));
    const Clock::duration waited = Clock::now() - started;
    removed.store(true);
    manager.WaitUntilWritesFlushed(60000);
    const Clock::duration tail = Clock::now() - started;
    EXPECT_LT(calls.load(), run / 2);
    EXPECT_LT(waited * 4, tail) << "the removal waited for the rest of the batch";
    EXPECT_EQ(callsAfterRemoval.load(), 0);
}

// The shutdown event ends delivery where it stands: what is queued behind it in the same batch is
// dropped, the queue counter is not told of a batch taken once the shutdown began, and Disable
// reports a thread that did not end within its wait.
TEST(MetricsManagerTest, ShutdownEndsDeliveryAtItsOwnEvent) {
    MetricsManager& manager = MetricsManager::GetInstance();
    std::mutex countsMutex;
    std::vector<int> counts;
    manager.SetQueueCounterUpdateFunction([&](int count) {
        std::lock_guard<std::mutex> lock(countsMutex);
        counts.push_back(count);
    });
    // Runs on the thread that calls Disable, after the shutdown event is queued and before the
    // manager is marked shut down: an event emitted here stands behind it.
    manager.SetLoggingFunction(
        [&](MetricsManager::LogSeverity, const wchar_t*, const TStringCore& message) {
            if (message.toStdString().find("Queuing shutdown event") != std::string::npos) {
                manager.EmitEvent(TaggedAttribute(0, 3));
            }
        });
    manager.Enable();
    manager.SetBits(~0ULL);
    const GatePtr gate(new GateListener());
    auto recorder = MakeRecordingListener();
    ASSERT_TRUE(manager.AddConsumer(AsListener(gate), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(AsListener(recorder), ~0ULL, false));
    manager.EmitEvent(TaggedAttribute(0, 1));
    gate->WaitUntilInside();
    manager.EmitEvent(TaggedAttribute(0, 2));

    EXPECT_FALSE(manager.Disable());  // the thread is held in the gate past the wait
    EXPECT_TRUE(manager.IsRunning());
    gate->Open();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (manager.IsRunning() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_EQ(recorder->Tags(), (std::vector<long long>{1, 2}));
    std::lock_guard<std::mutex> lock(countsMutex);
    EXPECT_EQ(counts, (std::vector<int>{1}));
}

}  // namespace
}  // namespace Metrics::Testing
