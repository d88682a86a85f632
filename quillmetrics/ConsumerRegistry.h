#pragma once

#include <atomic>
#include <vector>

#include "quillmetrics/MetricsManager.h"
#include "quillsys/TReadWriteLock.h"

namespace Metrics {

// One registration: a category mask and the listener it feeds.
struct ConsumerEntry {
    unsigned long long bits;
    RefCntPtr<IMetricsListener, RefCntObject> listener;
};

// An asynchronous consumer as the background thread keeps it: no reference (see
// DeliveryThread).
struct ConsumerTarget {
    IMetricsListener* listener;
    unsigned long long bits;
};

// Whether a consumer registered with mask takes an event of these categories (the category part
// of the event's mask): uncategorised events reach every consumer.
inline bool ConsumerTakes(unsigned long long mask, unsigned long long categories) noexcept {
    return categories == 0 || (mask & categories) != 0;
}

// The registered consumers, and synchronous delivery to them. One reader/writer lock: shared
// while synchronous consumers run or the background thread copies the asynchronous list,
// exclusive to add and remove.
class ConsumerRegistry {
public:
    // False, changing nothing, from inside a synchronous consumer's OnEvent: the lock is held
    // there for reading and the write lock would never come. May throw std::bad_alloc.
    bool Add(const RefCntPtr<IMetricsListener, RefCntObject>& listener, unsigned long long bits,
             bool synchronous);
    // Removes one registration of the object, a synchronous one first, and hands back its
    // reference (empty when there was none). Refused from inside a synchronous consumer.
    RefCntPtr<IMetricsListener, RefCntObject> Remove(
        const RefCntPtr<IMetricsListener, RefCntObject>& listener, bool& wasAsync);
    // Lets go of every consumer; their destructors run outside the lock.
    void ReleaseAll();

    // Hands the event to each synchronous consumer whose mask takes it, in registration order,
    // under the read lock (taken once per thread: a consumer may emit from OnEvent). A
    // std::exception from a consumer costs it this one event; any other leaves this call.
    void DeliverSynchronously(const MetricsEvent& event, unsigned long long categories);
    bool HasSynchronous() const noexcept { return m_hasSync.load(std::memory_order_acquire); }

    // Changes with every change of the asynchronous list (seq_cst: see DeliveryThread).
    unsigned long long AsyncVersion() const noexcept {
        return m_asyncVersion.load(std::memory_order_seq_cst);
    }
    // Copies the asynchronous list; returns the version it belongs to. May throw std::bad_alloc.
    unsigned long long CopyAsync(std::vector<ConsumerTarget>& targets) const;

private:
    // True on a thread that is inside a synchronous consumer's OnEvent.
    static bool InsideSynchronousDelivery() noexcept;

    mutable TReadWriteLock m_lock{0};
    std::vector<ConsumerEntry> m_sync;   // guarded by m_lock
    std::vector<ConsumerEntry> m_async;  // guarded by m_lock
    std::atomic<unsigned long long> m_asyncVersion{0};
    std::atomic<bool> m_hasSync{false};
};

}  // namespace Metrics
