#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ConsumerRegistry.h"
#include "EventQueue.h"
#include "HookSlot.h"
#include "quillsys/TEvent.h"

namespace Metrics {

// The background thread: takes what the emitting threads queued, in rounds, hands each event to
// the asynchronous consumers, and keeps the counts that flushing waits on.
//
// It holds no reference to a consumer. A consumer is called only after m_inCall names it and the
// registry is seen unchanged since the list was copied; m_inCall goes on naming the consumer last
// called until the next event finds the registry changed, another consumer is called, or the batch
// ends. RemoveConsumer waits while m_inCall names the consumer it removed. So a removed consumer is
// never called and never held once the removal has returned, and the removal waits for the call
// in progress and the next event's look at the registry: not for other consumers, nor for the
// rest of the batch.
//
// Nothing a hook or a consumer throws leaves the thread, where it would end the host process:
// each call is caught, and what was swallowed is counted.
//
// Its fields are laid out by who touches them, not to save padding: what emitters read apart from
// what the thread writes per event.
class DeliveryThread {  // NOLINT(clang-analyzer-optin.performance.Padding)
public:
    using ThreadInitHook = HookSlot<std::function<void()>>;
    using QueueCounterHook = HookSlot<std::function<void(int)>>;

    // bits is the manager's mask, cleared when the thread ends.
    DeliveryThread(const MetricsManager& manager, ConsumerRegistry& consumers,
                   const ThreadInitHook& threadInit, const QueueCounterHook& queueCounter,
                   std::atomic<unsigned long long>& bits);
    DeliveryThread(const DeliveryThread&) = delete;
    DeliveryThread& operator=(const DeliveryThread&) = delete;
    ~DeliveryThread();

    EventQueue& Queue() noexcept { return m_queue; }
    bool IsRunning() const noexcept { return m_running.load(std::memory_order_acquire); }
    // Whether Start made a thread that Stop has not yet let go. Enable and Disable only, which
    // hosts call from one thread.
    bool Started() const noexcept { return m_thread != nullptr; }

    // Starts a thread that runs body (which calls Run). Throws what creating a thread throws,
    // leaving everything as it was.
    void Start(std::function<void()> body);
    // After the stop event is queued and the manager is shut down: lets the thread go and waits
    // up to 1000 ms for it to end; false when it did not.
    bool Stop();
    // Before the objects the thread uses go: after a Stop that timed out, blocks until the thread
    // has ended, for as long as its consumer takes.
    void WaitUntilEnded() const;
    // The thread's body.
    void Run();

    // Blocks until every event queued before the call has been delivered and destroyed, or until
    // the time runs out, or the thread has ended.
    void Flush(unsigned int milliseconds);
    // Queued and not yet handed to the consumers.
    unsigned long long QueuedCount();

    static bool OnThisThread() noexcept;
    // Inside an asynchronous consumer's OnEvent: whether this event is the last that the current
    // batch delivers, so that a consumer that gathers its output may write it now. True on any
    // other thread.
    static bool AtBatchEnd() noexcept;
    // Another thread, after an asynchronous consumer's removal: returns once the thread is not in
    // (or about to enter) that consumer's OnEvent, or after 1000 ms.
    void WaitWhileCalling(const IMetricsListener* listener) const;
    // This thread, after a removal from inside a consumer's call (perhaps that consumer's own):
    // keeps the reference until the call has returned.
    void KeepUntilCallReturns(RefCntPtr<IMetricsListener, RefCntObject>&& listener) noexcept;
    // How many exceptions from hooks and consumers the background threads of the process have
    // caught and dropped.
    static unsigned long long SwallowedExceptions() noexcept;

    // Tests only: how long an idle thread sleeps between rounds (100 ms when 0), and whether a
    // background thread sleeps so now.
    static void SetIdlePollForTesting(std::chrono::milliseconds poll);
    static bool AsleepForTesting() noexcept;

private:
    void Wake();
    // From an emitting thread whose buffer has filled a chunk: wakes the thread if it sleeps.
    static void WakeForBacklog(void* self) noexcept;
    // Delivers a batch up to the stop event; true when it met that event.
    bool DeliverBatch(const std::vector<const RecordHead*>& batch);
    // Before each round: the clock's calibration, and its news for the log.
    void Calibrate();
    // No consumer is named as in a call any longer.
    void EndCalls() noexcept;
    void DeliverEvent(const MetricsEvent& event);
    void RetakeConsumers();
    // After a round, delivered or empty: counts what is delivered and the round done, and wakes
    // flushes.
    void CountDelivered(size_t taken, unsigned long long round);
    // Sleeps until woken (a flush, a thread far ahead, the stop) or for at most poll: when
    // nothing came, or to pace the rounds.
    void WaitIdle(std::chrono::microseconds poll, bool nothingCame);
    void Finish();

    // First: its cache-line-aligned parts set the class's alignment.
    EventQueue m_queue;
    // Read by every emit: on a line with what is set once, away from what this thread writes
    // per event.
    alignas(64) std::atomic<bool> m_running{false};
    // Set while the thread sleeps between rounds, and by an emitter that found it so with a
    // backlog building up.
    std::atomic<bool> m_idle{false};
    std::atomic<bool> m_backlog{false};
    const MetricsManager& m_manager;
    ConsumerRegistry& m_consumers;
    const ThreadInitHook& m_threadInit;
    const QueueCounterHook& m_queueCounter;
    std::atomic<unsigned long long>& m_bits;
    std::unique_ptr<std::thread> m_thread;
    bool m_stopped = false;  // Enable and Disable only, like m_thread
    std::shared_ptr<TEvent> m_done = std::make_shared<TEvent>(false);

    // Flushing: a flush waits for the round that delivers every event queued before it, until the
    // thread has handed that round's whole batch to the consumers and let go of the batch: of the
    // host's own events and the text it made, so that a host may unload the code that made them
    // (a plugin's make_shared) once a flush returns. Events are counted when they are queued (by
    // the queue) and when delivered, for GetQueuedEventCount.
    std::mutex m_mutex;
    std::condition_variable m_wake;           // wakes the idle thread
    std::condition_variable m_delivered;      // wakes flushes
    unsigned long long m_deliveredCount = 0;  // guarded by m_mutex
    unsigned long long m_roundDone = 0;       // guarded by m_mutex: every record up to it

    std::atomic<IMetricsListener*> m_inCall{nullptr};
    // The thread's own: the asynchronous consumers as last copied, with the registry's version;
    // the consumers the current event has reached, so that a list retaken halfway through an
    // event reaches none of them twice; and consumers removed during a call.
    std::vector<ConsumerTarget> m_targets;
    unsigned long long m_targetsVersion = 0;
    std::vector<ConsumerTarget> m_reached;
    std::vector<RefCntPtr<IMetricsListener, RefCntObject>> m_keptUntilCallReturns;
    RecordReader m_reader;
    StampConverter m_clock;

    bool m_wakeRequested = false;  // guarded by m_mutex
};

}  // namespace Metrics
