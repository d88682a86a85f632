#include "quillmetrics/MetricsManager.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <tbb/enumerable_thread_specific.h>

#include "CurrentContext.h"
#include "EventQueue.h"
#include "MetricsClock.h"
#include "PlatformThread.h"
#include "quillmetrics/MetricsThreadContext.h"
#include "quillsys/TEvent.h"
#include "quillsys/TReadWriteLock.h"

namespace Metrics {

namespace {

constexpr unsigned long long kCategoryMask = 0xFFFFFFFFFFFFF000ULL;
const wchar_t* const s_logKey = L"metrics-manager";

// Static initialisation order matters here: the lock first, then the object whose destructor runs
// the one-time shutdown when the library is unloaded, so that the lock outlives the shutdown; that
// object makes the per-thread slots the shutdown uses, so that they outlive it too.
TReadWriteLock s_instanceLock(0);

// Set once by Disable or the one-time shutdown, never cleared.
std::atomic<bool> s_shutdown{false};

// The one-time shutdown at unload or process exit.
void ShutdownAtExit() {
    if (ProcessIsExiting()) {
        // The system has ended the background thread, and perhaps left a lock held by a thread
        // it ended: stop recording without waiting for anything or taking a lock.
        s_shutdown.store(true, std::memory_order_release);
        return;
    }
    MetricsManager::ShutdownAndFlush();
    // Once told to stop, the thread has only its own exit left; a thread still stuck in a consumer
    // after the shutdown's second is not waited for much longer.
    WaitUntilBackgroundThreadGone(200);
}

ThreadEndSlot& StackReleaserSlot();

struct ShutdownAtUnload {
    // The shutdown queues its event through the calling thread's slots: they are made first, so
    // that they are destroyed only after this object (statics go in the reverse order of their
    // construction's end).
    ShutdownAtUnload() {
        StackReleaserSlot();
        EventQueue::CreateThreadSlot();
    }
    ShutdownAtUnload(const ShutdownAtUnload&) = delete;
    ShutdownAtUnload& operator=(const ShutdownAtUnload&) = delete;
    ~ShutdownAtUnload() { ShutdownAtExit(); }
} s_shutdownAtUnload;

bool IsShutdown() { return s_shutdown.load(std::memory_order_acquire); }

// How deep the calling thread is in synchronous delivery, that is inside a synchronous consumer's
// OnEvent, where the consumer read lock is held.
thread_local int t_syncDeliveryDepth = 0;

// Set on the background thread, which must never wait for itself.
thread_local bool t_isBackgroundThread = false;

#if !defined(_WIN32)
// A forked child has none of the parent's threads: no background thread will ever deliver, and a
// lock another thread held at the fork stays held. The child's manager is therefore shut down,
// which makes every operation a no-op that takes no lock, exit and unload included.
void ShutDownInForkedChild() { s_shutdown.store(true, std::memory_order_release); }

const int s_forkHandler = pthread_atfork(nullptr, nullptr, &ShutDownInForkedChild);
#endif

bool CategoriesMatch(unsigned long long mask, unsigned long long categories) {
    return categories == 0 || (mask & categories) != 0;
}

// Empties the stack of a thread when the thread ends, so that a later thread that the system gives
// the same id, and so the same slot, starts with no context attached. The value is a heap
// std::weak_ptr<MetricsThreadContext>.
void QUILLMETRICS_THREAD_END_CALL ReleaseThreadStack(void* value) {
    auto* stack = static_cast<std::weak_ptr<MetricsThreadContext>*>(value);
    if (const auto owned = stack->lock()) {
        while (auto current = owned->GetCurrentContext()) {
            owned->DetachContext(current);
        }
    }
    delete stack;
}

ThreadEndSlot& StackReleaserSlot() {
    // The stack belongs to the thread, whichever of its fibers runs.
    static ThreadEndSlot slot(&ReleaseThreadStack, ThreadEndSlot::Reach::Thread);
    return slot;
}

// The calling thread's stack in the singleton's table. The table keeps every stack for the
// manager's life, so the plain pointer stays valid.
thread_local MetricsThreadContext* t_singletonStack = nullptr;

}  // namespace

#if defined(_WIN32)
#define QUILLMETRICS_HIDDEN
#else
// Members of a class nested in an exported one would be exported too.
#define QUILLMETRICS_HIDDEN __attribute__((visibility("hidden")))
#endif

struct QUILLMETRICS_HIDDEN MetricsManager::State {
    // The slots come from the ordinary heap rather than oneTBB's cache-aligned allocator: that one
    // draws on tbbmalloc's own mappings, which leak checkers in the host's process cannot scan, so
    // every thread's stack would be reported as leaked. Each slot is padded to a cache line either
    // way, and only its own thread touches it after creation.
    using ThreadContexts =
        tbb::enumerable_thread_specific<std::shared_ptr<MetricsThreadContext>,
                                        std::allocator<std::shared_ptr<MetricsThreadContext>>>;

    TReadWriteLock consumerLock{0};
    std::vector<ConsumerEntry> syncConsumers;   // guarded by consumerLock
    std::vector<ConsumerEntry> asyncConsumers;  // guarded by consumerLock
    // Changes with every change of asyncConsumers (written under consumerLock), so that the
    // background thread copies the list only when it changed, not for every event.
    std::atomic<unsigned long long> asyncConsumersVersion{0};
    std::atomic<bool> hasSyncConsumers{false};

    ThreadContexts threadContexts{[] { return std::make_shared<MetricsThreadContext>(); }};

    EventQueue queue;
    // Changed only by Enable and Disable, which hosts call from one thread.
    std::unique_ptr<std::thread> thread;
    std::shared_ptr<TEvent> threadDoneEvent = std::make_shared<TEvent>(false);
    std::atomic<unsigned long long> nextContextId{0};
    std::atomic<bool> running{false};

    // Flushing: an event is counted before it is queued, and counted as delivered once the
    // background thread has handed its whole batch to the consumers. A flush waits until the
    // delivered count reaches the queued count it saw when it started.
    std::mutex wakeMutex;
    std::condition_variable wake;           // wakes the idle background thread
    std::condition_variable delivered;      // wakes flush waiters
    bool wakeRequested = false;             // guarded by wakeMutex
    unsigned long long deliveredCount = 0;  // guarded by wakeMutex
    // Delivered events go back to the threads that made them, to be destroyed at their next emit.
    // A flush also waits until the events it covers are destroyed, so that a host may unload the
    // code that made them (a plugin's make_shared) once it returns: up to drainedCount, delivered
    // events have been destroyed, or handed to their threads' running Reclaim.
    unsigned long long drainedCount = 0;  // guarded by wakeMutex
    int flushWaiters = 0;                 // guarded by wakeMutex
    // The asynchronous consumer the background thread is calling, or about to call, if any:
    // RemoveConsumer waits while it names the consumer removed, so that once it returns the
    // consumer is neither running nor held (its code may then be unloaded).
    std::atomic<IMetricsListener*> inCall{nullptr};
    // Background thread only: consumers that removed themselves from inside their own call, kept
    // alive until that call has returned.
    std::vector<RefCntPtr<IMetricsListener, RefCntObject>> releasedInCall;

    // Hooks are swapped whole under hookMutex and called through a copy of the pointer, so a hook
    // may be replaced while another thread is calling the old one.
    mutable std::mutex hookMutex;
    std::shared_ptr<const std::function<void()>> threadInitFunction;       // guarded by hookMutex
    std::shared_ptr<const LoggingFunction> loggingFunction;                // guarded by hookMutex
    std::shared_ptr<const LogCallStackFunction> logCallStackFunction;      // guarded by hookMutex
    std::shared_ptr<const std::function<void(int)>> queueCounterFunction;  // guarded by hookMutex

    std::atomic<TLSDiagnosticType> tlsDiagnosticType{TLSDiagnosticType::None};

    template <typename Slot>
    Slot LoadHook(const Slot& slot) const {
        std::lock_guard<std::mutex> lock(hookMutex);
        return slot;
    }

    // Gates, stamps, delivers to the synchronous consumers and queues one event; stop marks the
    // manager's own shutdown event, the only one that passes a closed gate and ends the thread.
    void Emit(std::shared_ptr<MetricsEvent> event, bool stop);

    void Wake() {
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            wakeRequested = true;
        }
        wake.notify_one();
    }

    void ReleaseConsumers() {
        std::vector<ConsumerEntry> sync;
        std::vector<ConsumerEntry> async;
        consumerLock.Lock();
        sync.swap(syncConsumers);
        async.swap(asyncConsumers);
        asyncConsumersVersion.fetch_add(1, std::memory_order_release);
        hasSyncConsumers.store(false, std::memory_order_release);
        consumerLock.Unlock();
        // The listeners' destructors run here, outside the lock, so they may use the manager.
    }
};

std::atomic<MetricsManager*> MetricsManager::s_instance{nullptr};

IMetricsListener::IMetricsListener() = default;

IMetricsListener::~IMetricsListener() = default;

MetricsManager& MetricsManager::GetInstance() {
    MetricsManager* instance = s_instance.load(std::memory_order_acquire);
    if (instance != nullptr) {
        return *instance;
    }
    s_instanceLock.Lock();
    instance = s_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        try {
            instance = new MetricsManager();
        } catch (...) {
            s_instanceLock.Unlock();
            throw;
        }
        s_instance.store(instance, std::memory_order_release);
    }
    s_instanceLock.Unlock();
    return *instance;
}

MetricsManager::MetricsManager()
    : m_state(std::make_unique<State>()) {}

MetricsManager::~MetricsManager() = default;

void MetricsManager::Enable() {
    if (IsShutdown() || m_state->thread) {
        return;
    }
    KeepLoadedUntilExit(&ShutdownAtExit);
    // Running before the thread exists, since the thread ends by clearing it; the state is
    // complete before the thread gets this object.
    m_state->running.store(true, std::memory_order_release);
    try {
        m_state->thread = std::make_unique<std::thread>([this] { BackgroundThreadProc(); });
    } catch (...) {
        // No thread (out of threads or memory): nothing would deliver, so nothing runs.
        m_state->running.store(false, std::memory_order_release);
        throw;
    }
}

bool MetricsManager::Disable() {
    if (!m_state->thread) {
        return true;
    }
    auto shutdownEvent = std::make_shared<MetricsEvent>();
    shutdownEvent->eventType = MetricsEventType::Shutdown;
    m_state->Emit(shutdownEvent, true);
    Log(LogSeverity::Info, s_logKey, TStringCore(L"MetricsManager: Queuing shutdown event", -1));
    s_shutdown.exchange(true, std::memory_order_acq_rel);
    m_state->thread->detach();
    m_state->thread.reset();
    // Do not make the caller sit out the rest of the idle poll.
    m_state->Wake();
    const std::shared_ptr<TEvent> done = m_state->threadDoneEvent;
    return done->Wait(std::chrono::milliseconds(1000));
}

bool MetricsManager::IsRunning() { return m_state->running.load(std::memory_order_acquire); }

void MetricsManager::EmitEvent(std::shared_ptr<MetricsEvent> event) {
    m_state->Emit(std::move(event), false);
}

void MetricsManager::State::Emit(std::shared_ptr<MetricsEvent> event, bool stop) {
    if (!event || IsShutdown() || !running.load(std::memory_order_acquire)) {
        return;
    }
    const unsigned long long categories = event->bits & kCategoryMask;
    // Only the manager's own shutdown event passes a closed gate; a host's event of that type is
    // an event like any other.
    if (!stop) {
        // relaxed: the mask is a setting; a change becomes visible to emitters soon enough.
        const unsigned long long global = GetInstance().m_bits.load(std::memory_order_relaxed);
        if (global == 0 || !CategoriesMatch(global, categories)) {
            return;
        }
    }
    const uint64_t stamp = GetTimestampNs();
    event->timestamp = stamp;
    GetDateTime(event->datetimeSeconds, event->datetimeMicroseconds);

    if (hasSyncConsumers.load(std::memory_order_acquire)) {
        // A synchronous consumer that emits from OnEvent comes back here on the same thread with
        // the read lock already held; taking it again could wait behind a queued writer for ever.
        struct ReadGuard {
            TReadWriteLock& lock;
            bool taken;
            explicit ReadGuard(TReadWriteLock& l)
                : lock(l)
                , taken(t_syncDeliveryDepth == 0) {
                if (taken) {
                    lock.LockRead();
                }
                ++t_syncDeliveryDepth;
            }
            ReadGuard(const ReadGuard&) = delete;
            ReadGuard& operator=(const ReadGuard&) = delete;
            ~ReadGuard() {
                --t_syncDeliveryDepth;
                if (taken) {
                    lock.UnlockRead();
                }
            }
        } guard(consumerLock);
        for (const ConsumerEntry& entry : syncConsumers) {
            if (!entry.listener || !CategoriesMatch(entry.bits, categories)) {
                continue;
            }
            try {
                entry.listener->OnEvent(*event);
            } catch (const std::exception&) {
                // A failing consumer loses only its own delivery.
            }
        }
    }

    queue.Push(std::move(event), stop);
    // Whatever happens after this emit, on any thread, is stamped later than this event.
    WaitPastTimestamp(stamp);
}

void MetricsManager::WaitUntilWritesFlushed(unsigned int milliseconds) {
    if (IsShutdown() || !m_state->running.load(std::memory_order_acquire)) {
        return;
    }
    const unsigned long long target = m_state->queue.PushedCount();
    std::unique_lock<std::mutex> lock(m_state->wakeMutex);
    if (m_state->drainedCount >= target) {
        return;
    }
    // Fetch the events now instead of waiting for the next idle poll.
    m_state->wakeRequested = true;
    ++m_state->flushWaiters;
    m_state->wake.notify_one();
    m_state->delivered.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        return m_state->drainedCount >= target || !m_state->running.load(std::memory_order_acquire);
    });
    --m_state->flushWaiters;
}

void MetricsManager::BackgroundThreadProc() {
    State& state = *m_state;
    t_isBackgroundThread = true;
    NoteBackgroundThread();
    // A thread that starts only after the shutdown skips its hooks, but still delivers what was
    // emitted before the shutdown event and ends the way every stop ends, so that Disable,
    // IsRunning and the consumers see it finish.
    bool shutdownSeen = false;
    if (!IsShutdown()) {
        if (const auto init = state.LoadHook(state.threadInitFunction); init && *init) {
            (*init)();
        }
    }
    state.threadDoneEvent->Reset();
    Log(LogSeverity::Info, s_logKey, TStringCore(L"MetricsManager: background thread started", -1));

    // The asynchronous consumers, taken again whenever the list changed, so that a change takes
    // effect from the next call on. It holds no reference: a consumer is called only after
    // inCall names it and the list is seen unchanged, and RemoveConsumer waits while inCall names
    // the consumer it removed, so a removed consumer is never called and never held here.
    struct Target {
        IMetricsListener* listener;
        unsigned long long bits;
    };
    std::vector<Target> snapshot;
    unsigned long long snapshotVersion = 0;
    // The consumers this event has reached, so that a list retaken halfway through an event
    // reaches none of them twice.
    std::vector<Target> reached;
    const auto takeSnapshot = [&] {
        snapshot.clear();
        state.consumerLock.LockRead();
        snapshotVersion = state.asyncConsumersVersion.load(std::memory_order_seq_cst);
        for (const ConsumerEntry& entry : state.asyncConsumers) {
            snapshot.push_back(Target{entry.listener.get(), entry.bits});
        }
        state.consumerLock.UnlockRead();
        reached.reserve(snapshot.size());  // no allocation while an event is delivered
    };
    takeSnapshot();
    std::vector<EventQueue::Node*> batch;
    while (!shutdownSeen) {
        // The shutdown event is queued before the flag is set, so a round that finds nothing after
        // the flag was seen means it was delivered already, or Disable failed to queue it.
        const bool stopping = IsShutdown();
        bool more = false;
        state.queue.TakeRound(batch, more);
        if (batch.empty()) {
            if (stopping && !more) {
                break;
            }
            if (more) {
                continue;  // held back by one round: take them now
            }
            state.queue.ReleaseIdle();
            std::unique_lock<std::mutex> lock(state.wakeMutex);
            state.drainedCount = state.deliveredCount;
            state.delivered.notify_all();
            state.wake.wait_for(lock, std::chrono::milliseconds(100),
                                [&] { return state.wakeRequested; });
            state.wakeRequested = false;
            continue;
        }
        if (!IsShutdown()) {
            if (const auto counter = state.LoadHook(state.queueCounterFunction);
                counter && *counter) {
                (*counter)(static_cast<int>(batch.size()));
            }
        }
        for (const EventQueue::Node* node : batch) {
            const std::shared_ptr<MetricsEvent>& event = EventQueue::EventOf(node);
            if (!event) {
                continue;
            }
            if (EventQueue::IsStop(node)) {
                shutdownSeen = true;
                break;
            }
            if (state.asyncConsumersVersion.load(std::memory_order_acquire) != snapshotVersion) {
                takeSnapshot();
            }
            const unsigned long long categories = event->bits & kCategoryMask;
            reached.clear();
            bool retaken = false;
            for (size_t i = 0; i < snapshot.size(); ++i) {
                const Target target = snapshot[i];
                if (target.listener == nullptr || !CategoriesMatch(target.bits, categories)) {
                    continue;
                }
                if (retaken && std::any_of(reached.begin(), reached.end(), [&](const Target& done) {
                        return done.listener == target.listener;
                    })) {
                    continue;
                }
                // seq_cst, paired with RemoveConsumer: either this sees the removal, or the
                // remover sees this consumer named and waits for the call to end.
                state.inCall.store(target.listener, std::memory_order_seq_cst);
                if (state.asyncConsumersVersion.load(std::memory_order_seq_cst) !=
                    snapshotVersion) {
                    state.inCall.store(nullptr, std::memory_order_seq_cst);
                    takeSnapshot();
                    retaken = true;
                    i = static_cast<size_t>(-1);  // again from the first, skipping those reached
                    continue;
                }
                reached.push_back(target);
                try {
                    target.listener->OnEvent(*event);
                } catch (...) {
                    // Nothing on this thread could handle it, and letting it escape would end
                    // the host process: the consumer loses this one event.
                }
                // A consumer that removed itself is released only now that its call is over.
                state.releasedInCall.clear();
            }
        }
        state.inCall.store(nullptr, std::memory_order_seq_cst);
        state.releasedInCall.clear();  // removed from a hook on this thread
        const size_t taken = batch.size();
        state.queue.Release(batch);
        bool drainNow = false;
        {
            std::lock_guard<std::mutex> lock(state.wakeMutex);
            state.deliveredCount += taken;
            drainNow = state.flushWaiters > 0;
        }
        if (drainNow) {
            // Someone flushes while events keep coming, so no idle round may come soon.
            state.queue.ReleaseIdle();
            std::lock_guard<std::mutex> lock(state.wakeMutex);
            state.drainedCount = state.deliveredCount;
        }
        state.delivered.notify_all();
    }

    Log(LogSeverity::Info, s_logKey, TStringCore(L"MetricsManager: background shutting down", -1));
    state.ReleaseConsumers();
    state.running.store(false, std::memory_order_release);
    m_bits.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(state.wakeMutex);
        state.delivered.notify_all();
    }
    const std::shared_ptr<TEvent> done = state.threadDoneEvent;
    done->Signal();
}

void MetricsManager::ShutdownAndFlush() {
    if (IsShutdown()) {
        return;
    }
    s_instanceLock.Lock();
    if (!IsShutdown()) {
        if (MetricsManager* instance = MetricsManager::s_instance.load(std::memory_order_acquire)) {
            try {
                instance->Disable();
            } catch (...) {
                // Shutdown must complete even when a consumer or hook throws.
            }
        }
        s_shutdown.store(true, std::memory_order_release);
    }
    s_instanceLock.Unlock();
}

void MetricsManager::ShutdownAndFreeInstance() { ShutdownAndFlush(); }

bool MetricsManager::AddConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener,
                                 unsigned long long bits, bool synchronous) {
    // From inside a synchronous consumer the read lock is held: the write lock would never come.
    if (IsShutdown() || !m_state->running.load(std::memory_order_acquire) || !listener ||
        t_syncDeliveryDepth != 0) {
        return false;
    }
    State& state = *m_state;
    state.consumerLock.Lock();
    try {
        if (synchronous) {
            state.syncConsumers.push_back(ConsumerEntry{bits, listener});
            state.hasSyncConsumers.store(true, std::memory_order_release);
        } else {
            state.asyncConsumers.push_back(ConsumerEntry{bits, listener});
            state.asyncConsumersVersion.fetch_add(1, std::memory_order_release);
        }
    } catch (...) {
        state.consumerLock.Unlock();
        throw;
    }
    state.consumerLock.Unlock();
    return true;
}

bool MetricsManager::RemoveConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener) {
    if (IsShutdown() || !m_state->running.load(std::memory_order_acquire) ||
        t_syncDeliveryDepth != 0) {
        return false;
    }
    State& state = *m_state;
    RefCntPtr<IMetricsListener, RefCntObject> removed;
    bool wasAsync = false;
    const auto sameObject = [&](const ConsumerEntry& entry) { return entry.listener == listener; };
    state.consumerLock.Lock();
    auto found = std::find_if(state.syncConsumers.begin(), state.syncConsumers.end(), sameObject);
    if (found != state.syncConsumers.end()) {
        removed = std::move(found->listener);
        state.syncConsumers.erase(found);
    } else {
        found = std::find_if(state.asyncConsumers.begin(), state.asyncConsumers.end(), sameObject);
        if (found != state.asyncConsumers.end()) {
            removed = std::move(found->listener);
            state.asyncConsumers.erase(found);
            state.asyncConsumersVersion.fetch_add(1, std::memory_order_seq_cst);
            wasAsync = true;
        }
    }
    if (state.syncConsumers.empty()) {
        state.hasSyncConsumers.store(false, std::memory_order_release);
    }
    state.consumerLock.Unlock();
    if (wasAsync && t_isBackgroundThread) {
        // Removed from inside an asynchronous consumer's call, perhaps its own: the call must
        // return before the last reference may go.
        const bool found = static_cast<bool>(removed);
        try {
            state.releasedInCall.push_back(std::move(removed));
        } catch (...) {
            // Out of memory: the consumer keeps a reference for ever rather than be destroyed
            // under its own call.
            removed->AddReference();
        }
        return found;
    }
    if (wasAsync) {
        // Bounded, as Disable is, in case the consumer waits for something this caller holds.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        while (state.inCall.load(std::memory_order_seq_cst) == removed.get() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // The listener's destructor, if this was its last reference, runs outside the lock.
    return static_cast<bool>(removed);
}

unsigned long long MetricsManager::GetBits() { return m_bits.load(std::memory_order_relaxed); }

unsigned long long MetricsManager::SetBits(unsigned long long bits) {
    if (IsShutdown()) {
        return 0;
    }
    return m_bits.fetch_or(bits, std::memory_order_relaxed);
}

void MetricsManager::ClearBits(unsigned long long bits) {
    if (!IsShutdown()) {
        m_bits.fetch_and(~bits, std::memory_order_relaxed);
    }
}

void MetricsManager::SetBitsAbsolute(unsigned long long bits) {
    if (!IsShutdown()) {
        m_bits.store(bits, std::memory_order_relaxed);
    }
}

void MetricsManager::SetLoggingFunction(LoggingFunction function) {
    if (IsShutdown()) {
        return;
    }
    auto slot = function ? std::make_shared<const LoggingFunction>(std::move(function)) : nullptr;
    {
        std::lock_guard<std::mutex> lock(m_state->hookMutex);
        m_state->loggingFunction.swap(slot);
    }
    Log(LogSeverity::Info, s_logKey, TStringCore(L"Logging enabled", -1));
}

MetricsManager::LoggingFunction MetricsManager::GetLoggingFunction() {
    if (IsShutdown()) {
        return {};
    }
    const auto slot = m_state->LoadHook(m_state->loggingFunction);
    return slot ? *slot : LoggingFunction();
}

void MetricsManager::SetLogCallStackFunction(LogCallStackFunction function) {
    if (IsShutdown()) {
        return;
    }
    auto slot =
        function ? std::make_shared<const LogCallStackFunction>(std::move(function)) : nullptr;
    std::lock_guard<std::mutex> lock(m_state->hookMutex);
    m_state->logCallStackFunction.swap(slot);
}

MetricsManager::LogCallStackFunction MetricsManager::GetLogCallStackFunction() {
    if (IsShutdown()) {
        return {};
    }
    const auto slot = m_state->LoadHook(m_state->logCallStackFunction);
    return slot ? *slot : LogCallStackFunction();
}

void MetricsManager::SetQueueCounterUpdateFunction(std::function<void(int)> function) {
    if (IsShutdown()) {
        return;
    }
    auto slot =
        function ? std::make_shared<const std::function<void(int)>>(std::move(function)) : nullptr;
    std::lock_guard<std::mutex> lock(m_state->hookMutex);
    m_state->queueCounterFunction.swap(slot);
}

void MetricsManager::SetThreadInitFunction(std::function<void()> function) {
    if (IsShutdown()) {
        return;
    }
    auto slot =
        function ? std::make_shared<const std::function<void()>>(std::move(function)) : nullptr;
    std::lock_guard<std::mutex> lock(m_state->hookMutex);
    m_state->threadInitFunction.swap(slot);
}

void MetricsManager::Log(LogSeverity severity, const wchar_t* key,
                         const TStringCore& message) const {
    if (IsShutdown() || key == nullptr) {
        return;
    }
    if (const auto function = m_state->LoadHook(m_state->loggingFunction); function && *function) {
        (*function)(severity, key, message);
    }
}

void MetricsManager::LogCallStack(const wchar_t* key) const {
    if (IsShutdown()) {
        return;
    }
    if (const auto function = m_state->LoadHook(m_state->logCallStackFunction);
        function && *function) {
        (*function)(key);
    }
}

std::shared_ptr<MetricsThreadContext> MetricsManager::GetThreadContext() {
    if (IsShutdown()) {
        return std::make_shared<MetricsThreadContext>();
    }
    const std::shared_ptr<MetricsThreadContext>& stack = m_state->threadContexts.local();
    ThreadEndSlot& releaserSlot = StackReleaserSlot();
    if (releaserSlot.Get() == nullptr) {
        auto releaser = std::make_unique<std::weak_ptr<MetricsThreadContext>>(stack);
        if (releaserSlot.Set(releaser.get())) {
            releaser.release();
        }
    }
    return stack;
}

MetricsThreadContext* ThisThreadStack() {
    if (IsShutdown()) {
        return nullptr;
    }
    if (t_singletonStack == nullptr) {
        t_singletonStack = MetricsManager::GetInstance().GetThreadContext().get();
    }
    return t_singletonStack;
}

std::shared_ptr<ContextShared> ThisThreadCurrentContext() {
    MetricsThreadContext* stack = ThisThreadStack();
    if (stack == nullptr || stack->NumEntries() == 0) {
        return {};
    }
    return stack->GetCurrentContext();
}

unsigned long long MetricsManager::GetCurrentThreadContextId() {
    if (IsShutdown()) {
        return 0;
    }
    return GetThreadContext()->GetMetricsContextId();
}

unsigned long long MetricsManager::GetNextContextId() {
    if (IsShutdown()) {
        return 0;
    }
    return m_state->nextContextId.fetch_add(1, std::memory_order_relaxed) + 1;
}

MetricsManager::TLSDiagnosticType MetricsManager::GetTLSDiagnosticType() {
    if (IsShutdown()) {
        return TLSDiagnosticType::None;
    }
    return m_state->tlsDiagnosticType.load(std::memory_order_relaxed);
}

void MetricsManager::SetTLSDiagnosticType(TLSDiagnosticType type) {
    if (!IsShutdown()) {
        m_state->tlsDiagnosticType.store(type, std::memory_order_relaxed);
    }
}

bool TestBits(unsigned long long bits) {
    const unsigned long long global = MetricsManager::GetInstance().GetBits();
    if (global == 0) {
        return false;
    }
    const unsigned long long categories = bits & kCategoryMask;
    return categories == 0 || (global & categories) != 0;
}

}  // namespace Metrics
