#include "DeliveryThread.h"

#include <algorithm>
#include <chrono>

#include "Lifecycle.h"
#include "PlatformThread.h"

namespace Metrics {

namespace {

// Set on the background thread, which must never wait for itself.
QUILLMETRICS_EMIT_TLS thread_local bool t_isBackgroundThread = false;
// Whether the event being delivered is the batch's last.
QUILLMETRICS_EMIT_TLS thread_local bool t_atBatchEnd = true;

// How long an idle thread sleeps when nothing wakes it: the longest an event waits for delivery.
constexpr std::chrono::milliseconds kIdlePoll{100};
// After a round that found only a few events, the thread pauses this long before the next unless
// woken, even when events came in while it delivered (a busy thread always has some): each round
// writes the round number that every emit reads and reads each emitting thread's last published
// position, a line that thread writes again at its next emit, so rounds back to back would take
// those lines from a busy thread every few events, slowing it down just enough for the next round
// to find few events again. A larger batch means the thread is behind, and it goes on at once.
constexpr std::chrono::microseconds kPacing{200};
constexpr size_t kBatchWorthARound = 1024;
std::atomic<long long> s_idlePollMs{kIdlePoll.count()};
std::atomic<bool> s_asleep{false};

// Relaxed: a count for tests and diagnostics, ordered with nothing.
std::atomic<unsigned long long> s_swallowed{0};

void Swallowed() noexcept { s_swallowed.fetch_add(1, std::memory_order_relaxed); }

// Nothing on this thread could handle a host hook's exception, and letting it escape would end
// the host process: the hook loses this one call.
template <typename Call>
void CallHook(const Call& call) noexcept {
    try {
        call();
    } catch (...) {
        Swallowed();
    }
}

void Log(const MetricsManager& manager, const wchar_t* message) noexcept {
    CallHook([&] {
        manager.Log(MetricsManager::LogSeverity::Info, kManagerLogKey, TStringCore(message, -1));
    });
}

}  // namespace

DeliveryThread::DeliveryThread(const MetricsManager& manager, ConsumerRegistry& consumers,
                               const ThreadInitHook& threadInit,
                               const QueueCounterHook& queueCounter,
                               std::atomic<unsigned long long>& bits)
    : m_manager(manager)
    , m_consumers(consumers)
    , m_threadInit(threadInit)
    , m_queueCounter(queueCounter)
    , m_bits(bits) {
    m_queue.SetChunkStartedHook(&DeliveryThread::WakeForBacklog, this);
}

DeliveryThread::~DeliveryThread() = default;

bool DeliveryThread::OnThisThread() noexcept { return t_isBackgroundThread; }

bool DeliveryThread::AtBatchEnd() noexcept { return t_atBatchEnd; }

void DeliveryThread::Start(std::function<void()> body) {
    // Running before the thread exists, since the thread ends by clearing it; the state is
    // complete before the thread gets this object.
    m_running.store(true, std::memory_order_release);
    try {
        m_thread = std::make_unique<std::thread>(std::move(body));
    } catch (...) {
        // No thread (out of threads or memory): nothing would deliver, so nothing runs.
        m_running.store(false, std::memory_order_release);
        throw;
    }
}

bool DeliveryThread::Stop() {
    m_thread->detach();
    m_thread.reset();
    m_stopped = true;
    // Do not make the caller sit out the rest of the idle poll.
    Wake();
    const std::shared_ptr<TEvent> done = m_done;
    return done->Wait(std::chrono::milliseconds(1000));
}

void DeliveryThread::WaitUntilEnded() const {
    if (m_stopped) {
        m_done->Wait();
    }
}

unsigned long long DeliveryThread::SwallowedExceptions() noexcept {
    return s_swallowed.load(std::memory_order_relaxed);
}

void DeliveryThread::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wakeRequested = true;
    }
    m_wake.notify_one();
}

void DeliveryThread::Flush(unsigned int milliseconds) {
    const unsigned long long target = m_queue.FlushRound();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_roundDone >= target) {
        return;
    }
    // Fetch the events now instead of waiting for the next idle poll.
    m_wakeRequested = true;
    m_wake.notify_one();
    m_delivered.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [&] { return m_roundDone >= target || !IsRunning(); });
}

unsigned long long DeliveryThread::QueuedCount() {
    const unsigned long long pushed = m_queue.PushedCount();
    std::lock_guard<std::mutex> lock(m_mutex);
    // A push counted after its delivery was counted cannot make this negative: pushes are read
    // first.
    return pushed > m_deliveredCount ? pushed - m_deliveredCount : 0;
}

void DeliveryThread::WaitWhileCalling(const IMetricsListener* listener) const {
    // seq_cst, paired with DeliverEvent. Bounded, as Disable is, in case the consumer waits for
    // something the caller holds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    // The thread lets go of the name at its next event, within microseconds unless the call in
    // progress is long: a few yields first, then sleeps.
    for (int spins = 0; m_inCall.load(std::memory_order_seq_cst) == listener &&
                        std::chrono::steady_clock::now() < deadline;
         ++spins) {
        if (spins < 100) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

void DeliveryThread::KeepUntilCallReturns(
    RefCntPtr<IMetricsListener, RefCntObject>&& listener) noexcept {
    try {
        m_keptUntilCallReturns.push_back(std::move(listener));
    } catch (...) {
        // Out of memory: the consumer keeps a reference for ever rather than be destroyed under
        // its own call.
        if (listener) {
            listener->AddReference();
        }
    }
}

void DeliveryThread::Run() {
    t_isBackgroundThread = true;
    NoteBackgroundThread();
    // A thread that starts only after the shutdown skips its hooks, but still delivers what was
    // emitted before the shutdown event and ends the way every stop ends, so that Disable,
    // IsRunning and the consumers see it finish.
    if (!IsShutdown()) {
        CallHook([&] { m_threadInit.Call(); });
    }
    m_done->Reset();
    Log(m_manager, L"MetricsManager: background thread started");

    RetakeConsumers();
    std::vector<const RecordHead*> batch;
    while (true) {
        // The stop event is queued before the manager is marked shut down, so a round that finds
        // nothing after the mark was seen means it was delivered already, or was never queued.
        const bool stopping = IsShutdown();
        bool more = false;
        Calibrate();
        const unsigned long long round = m_queue.TakeRound(batch, more);
        if (batch.empty()) {
            m_queue.Release(batch);  // lets go of the threads that have ended
            CountDelivered(0, round);
            if (stopping && !more) {
                break;
            }
            if (more) {  // written since the round began: the next round takes them
                WaitIdle(kPacing, false);
            } else {
                WaitIdle(
                    std::chrono::microseconds(s_idlePollMs.load(std::memory_order_relaxed) * 1000),
                    true);
            }
            continue;
        }
        if (!IsShutdown()) {
            CallHook([&] { m_queueCounter.Call(static_cast<int>(batch.size())); });
        }
        const bool stopped = DeliverBatch(batch);
        const size_t taken = batch.size();
        m_queue.Release(batch);
        CountDelivered(taken, round);
        if (stopped) {
            break;
        }
        if (taken < kBatchWorthARound) {
            WaitIdle(kPacing, false);
        }
    }
    Finish();
}

void DeliveryThread::Calibrate() {
    m_clock.Calibrate();
    if (const wchar_t* news = m_clock.TakeNews()) {
        if (!IsShutdown()) {
            Log(m_manager, news);
        }
    }
}

bool DeliveryThread::DeliverBatch(const std::vector<const RecordHead*>& batch) {
    bool stopped = false;
    for (size_t i = 0; i < batch.size(); ++i) {
        const RecordHead* record = batch[i];
        if (record->Stop()) {
            stopped = true;  // what stands behind it is not delivered
            break;
        }
        t_atBatchEnd = i + 1 == batch.size() || batch[i + 1]->Stop();
        try {
            DeliverEvent(m_reader.Read(*record, m_clock));
        } catch (...) {
            // Out of memory for the event's text: the consumers lose this one event.
            Swallowed();
        }
    }
    t_atBatchEnd = true;
    // Cleared by the batch's end, so that a removal waits for this batch's calls only, not for
    // whatever the thread does next (a pause, a long run of events for no consumer).
    EndCalls();
    m_reader.Clear();
    m_keptUntilCallReturns.clear();  // removed from a hook on this thread
    return stopped;
}

void DeliveryThread::RetakeConsumers() {
    try {
        m_targetsVersion = m_consumers.CopyAsync(m_targets);
        m_reached.reserve(m_targets.size());  // no allocation while an event is delivered
    } catch (...) {
        // Out of memory: the list is tried again at the next event.
        m_targets.clear();
        m_targetsVersion = ~0ULL;
    }
}

void DeliveryThread::DeliverEvent(const MetricsEvent& event) {
    if (m_consumers.AsyncVersion() != m_targetsVersion) {
        EndCalls();  // a consumer removed since its last call is waited for no longer
        RetakeConsumers();
    }
    const unsigned long long categories = event.bits & kCategoryMask;
    m_reached.clear();
    bool retaken = false;
    for (size_t i = 0; i < m_targets.size(); ++i) {
        const ConsumerTarget target = m_targets[i];
        if (target.listener == nullptr || !ConsumerTakes(target.bits, categories)) {
            continue;
        }
        if (retaken && std::any_of(m_reached.begin(), m_reached.end(), [&](const auto& done) {
                return done.listener == target.listener;
            })) {
            continue;
        }
        // seq_cst, paired with WaitWhileCalling: either this sees the removal, or the remover
        // sees this consumer named and waits for the call to end. A consumer that takes event
        // after event stays named from one call to the next (only this thread writes the name),
        // so that the store, a full barrier, is paid once per run of calls rather than per call;
        // the registry is still checked before each call.
        if (m_inCall.load(std::memory_order_relaxed) != target.listener) {
            m_inCall.store(target.listener, std::memory_order_seq_cst);
        }
        if (m_consumers.AsyncVersion() != m_targetsVersion) {
            m_inCall.store(nullptr, std::memory_order_seq_cst);
            RetakeConsumers();
            retaken = true;
            i = static_cast<size_t>(-1);  // again from the first, skipping those reached
            continue;
        }
        m_reached.push_back(target);
        try {
            target.listener->OnEvent(event);
        } catch (...) {
            // Nothing on this thread could handle it, and letting it escape would end the host
            // process: the consumer loses this one event.
            Swallowed();
        }
        // A consumer that removed itself is let go only now that its call is over.
        if (!m_keptUntilCallReturns.empty()) {
            m_inCall.store(nullptr, std::memory_order_release);
            m_keptUntilCallReturns.clear();
        }
    }
}

void DeliveryThread::EndCalls() noexcept {
    // release: a remover that sees it cleared sees everything the calls did.
    m_inCall.store(nullptr, std::memory_order_release);
}

void DeliveryThread::CountDelivered(size_t taken, unsigned long long round) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deliveredCount += taken;
        m_roundDone = round;
    }
    m_delivered.notify_all();
}

void DeliveryThread::WakeForBacklog(void* self) noexcept {
    auto* thread = static_cast<DeliveryThread*>(self);
    // No lock on the emitting thread: a wake-up that comes just before the thread waits is lost,
    // which costs one poll interval, as before there was any.
    if (thread->m_idle.load(std::memory_order_relaxed)) {
        thread->m_backlog.store(true, std::memory_order_relaxed);
        thread->m_wake.notify_one();
    }
}

void DeliveryThread::SetIdlePollForTesting(std::chrono::milliseconds poll) {
    s_idlePollMs.store(poll.count() == 0 ? kIdlePoll.count() : poll.count());
}

bool DeliveryThread::AsleepForTesting() noexcept { return s_asleep.load(); }

void DeliveryThread::WaitIdle(std::chrono::microseconds poll, bool nothingCame) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.store(true, std::memory_order_relaxed);
    s_asleep.store(nothingCame, std::memory_order_relaxed);
    m_wake.wait_for(lock, poll, [&] {
        return m_wakeRequested || m_backlog.exchange(false, std::memory_order_relaxed);
    });
    m_idle.store(false, std::memory_order_relaxed);
    s_asleep.store(false, std::memory_order_relaxed);
    m_wakeRequested = false;
}

void DeliveryThread::Finish() {
    Log(m_manager, L"MetricsManager: background shutting down");
    m_consumers.ReleaseAll();
    m_running.store(false, std::memory_order_release);
    m_bits.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivered.notify_all();
    }
    const std::shared_ptr<TEvent> done = m_done;
    done->Signal();
}

}  // namespace Metrics
