#include "ConsumerRegistry.h"

#include <algorithm>

namespace Metrics {

namespace {

// How deep the calling thread is in synchronous delivery, that is inside a synchronous consumer's
// OnEvent, where the read lock is held.
thread_local int t_syncDeliveryDepth = 0;

}  // namespace

bool ConsumerRegistry::InsideSynchronousDelivery() noexcept { return t_syncDeliveryDepth != 0; }

bool ConsumerRegistry::Add(const RefCntPtr<IMetricsListener, RefCntObject>& listener,
                           unsigned long long bits, bool synchronous) {
    if (InsideSynchronousDelivery()) {
        return false;
    }
    m_lock.Lock();
    try {
        if (synchronous) {
            m_sync.push_back(ConsumerEntry{bits, listener});
            m_hasSync.store(true, std::memory_order_release);
        } else {
            m_async.push_back(ConsumerEntry{bits, listener});
            m_asyncVersion.fetch_add(1, std::memory_order_seq_cst);
        }
    } catch (...) {
        m_lock.Unlock();
        throw;
    }
    m_lock.Unlock();
    return true;
}

RefCntPtr<IMetricsListener, RefCntObject> ConsumerRegistry::Remove(
    const RefCntPtr<IMetricsListener, RefCntObject>& listener, bool& wasAsync) {
    wasAsync = false;
    RefCntPtr<IMetricsListener, RefCntObject> removed;
    if (InsideSynchronousDelivery()) {
        return removed;
    }
    const auto sameObject = [&](const ConsumerEntry& entry) { return entry.listener == listener; };
    m_lock.Lock();
    auto found = std::find_if(m_sync.begin(), m_sync.end(), sameObject);
    if (found != m_sync.end()) {
        removed = std::move(found->listener);
        m_sync.erase(found);
    } else {
        found = std::find_if(m_async.begin(), m_async.end(), sameObject);
        if (found != m_async.end()) {
            removed = std::move(found->listener);
            m_async.erase(found);
            m_asyncVersion.fetch_add(1, std::memory_order_seq_cst);
            wasAsync = true;
        }
    }
    if (m_sync.empty()) {
        m_hasSync.store(false, std::memory_order_release);
    }
    m_lock.Unlock();
    return removed;
}

void ConsumerRegistry::ReleaseAll() {
    std::vector<ConsumerEntry> sync;
    std::vector<ConsumerEntry> async;
    m_lock.Lock();
    sync.swap(m_sync);
    async.swap(m_async);
    m_asyncVersion.fetch_add(1, std::memory_order_seq_cst);
    m_hasSync.store(false, std::memory_order_release);
    m_lock.Unlock();
    // The listeners' destructors run here, outside the lock, so they may use the manager.
}

void ConsumerRegistry::DeliverSynchronously(const MetricsEvent& event,
                                            unsigned long long categories) {
    // A synchronous consumer that emits from OnEvent comes back here on the same thread with the
    // read lock already held; taking it again could wait behind a queued writer for ever.
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
    } guard(m_lock);
    for (const ConsumerEntry& entry : m_sync) {
        if (!entry.listener || !ConsumerTakes(entry.bits, categories)) {
            continue;
        }
        try {
            entry.listener->OnEvent(event);
        } catch (const std::exception&) {
            // A failing consumer loses only its own delivery.
        }
    }
}

unsigned long long ConsumerRegistry::CopyAsync(std::vector<ConsumerTarget>& targets) const {
    targets.clear();
    m_lock.LockRead();
    const unsigned long long version = m_asyncVersion.load(std::memory_order_seq_cst);
    try {
        for (const ConsumerEntry& entry : m_async) {
            targets.push_back(ConsumerTarget{entry.listener.get(), entry.bits});
        }
    } catch (...) {
        m_lock.UnlockRead();
        throw;
    }
    m_lock.UnlockRead();
    return version;
}

}  // namespace Metrics
