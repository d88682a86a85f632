#include "Lifecycle.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "EventQueue.h"
#include "PlatformThread.h"
#include "ThreadStacks.h"
#include "quillmetrics/MetricsManager.h"

namespace Metrics {

std::atomic<bool> Lifecycle::s_shutdown{false};

namespace {

// Static initialisation order matters here: the lock first, then the object whose destructor runs
// the one-time shutdown when the library is unloaded, so that the lock outlives the shutdown; that
// object makes the per-thread slots the shutdown uses, so that they outlive it too.
TReadWriteLock s_instanceLock(0);

struct ShutdownAtUnload {
    // The shutdown queues its event through the calling thread's slots: they are made first, so
    // that they are destroyed only after this object (statics go in the reverse order of their
    // construction's end).
    ShutdownAtUnload() {
        ThreadStacks::CreateThreadSlot();
        EventQueue::CreateThreadSlot();
    }
    ShutdownAtUnload(const ShutdownAtUnload&) = delete;
    ShutdownAtUnload& operator=(const ShutdownAtUnload&) = delete;
    ~ShutdownAtUnload() { ShutdownAtExit(); }
} s_shutdownAtUnload;

#if !defined(_WIN32)
// A forked child has none of the parent's threads: no background thread will ever deliver, and a
// lock another thread held at the fork stays held (the instance lock too, when the fork came
// during the first GetInstance). The child's manager is therefore shut down, which makes every
// operation a no-op that takes no lock, the making of the instance, exit and unload included.
void ShutDownInForkedChild() { MarkShutdown(); }

const int s_forkHandler = pthread_atfork(nullptr, nullptr, &ShutDownInForkedChild);
#endif

}  // namespace

void MarkShutdown() noexcept { Lifecycle::s_shutdown.store(true, std::memory_order_release); }

TReadWriteLock& InstanceLock() noexcept { return s_instanceLock; }

void ShutdownAtExit() {
    if (ProcessIsExiting()) {
        // The system has ended the background thread, and perhaps left a lock held by a thread
        // it ended: stop recording without waiting for anything or taking a lock.
        MarkShutdown();
        return;
    }
    MetricsManager::ShutdownAndFlush();
    // Once told to stop, the thread has only its own exit left; a thread still stuck in a consumer
    // after the shutdown's second is not waited for much longer.
    WaitUntilBackgroundThreadGone(200);
}

// The singleton is made and shut down under the instance lock, which unload and exit take too.

MetricsManager& MetricsManager::GetInstance() {
    MetricsManager* instance = s_instance.load(std::memory_order_acquire);
    if (instance != nullptr) {
        return *instance;
    }
    if (IsShutdown()) {
        // No shutdown will ever look at an instance made now, so the lock has nothing to order:
        // of two threads making one at once, the first to publish it wins.
        auto made = std::make_unique<MetricsManager>();
        if (s_instance.compare_exchange_strong(instance, made.get(), std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
            return *made.release();
        }
        return *instance;
    }
    TReadWriteLock& lock = InstanceLock();
    lock.Lock();
    instance = s_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        try {
            instance = new MetricsManager();
        } catch (...) {
            lock.Unlock();
            throw;
        }
        s_instance.store(instance, std::memory_order_release);
    }
    lock.Unlock();
    return *instance;
}

void MetricsManager::ShutdownAndFlush() {
    if (IsShutdown()) {
        return;
    }
    TReadWriteLock& lock = InstanceLock();
    lock.Lock();
    if (!IsShutdown()) {
        if (MetricsManager* instance = MetricsManager::s_instance.load(std::memory_order_acquire)) {
            try {
                instance->Disable();
            } catch (...) {
                // Shutdown must complete even when a consumer or hook throws.
            }
        }
        MarkShutdown();
    }
    lock.Unlock();
}

void MetricsManager::ShutdownAndFreeInstance() { ShutdownAndFlush(); }

}  // namespace Metrics
