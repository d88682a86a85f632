#pragma once

#include <list>
#include <memory>
#include <unordered_map>

#include "quillmetrics/export.h"

namespace Metrics {

class ContextShared;
class ThreadStacks;

// The stack of contexts attached to one thread; its top live entry is the thread's current
// context. Holds records only weakly and prunes dead ones from the top when it next looks for the
// current context. Not thread-safe: used only by the thread it belongs to (a consumer or hook
// running there included). Never blocks; only std::bad_alloc leaves it.
class QUILLMETRICS_API MetricsThreadContext {
public:
    MetricsThreadContext();
    MetricsThreadContext(const MetricsThreadContext&) = delete;
    MetricsThreadContext& operator=(const MetricsThreadContext&) = delete;
    ~MetricsThreadContext();

    // Puts the record on top, or moves it back to the top when it is already attached.
    void AttachContext(std::shared_ptr<ContextShared>& record);
    // Removes the record wherever it is; nothing when it is not attached.
    void DetachContext(std::shared_ptr<ContextShared>& record);
    bool IsAttached(std::shared_ptr<ContextShared>& record) const;
    // The top live record, or empty.
    std::shared_ptr<ContextShared> GetCurrentContext() const;
    unsigned long long GetMetricsContextId() const;
    unsigned long long GetParentMetricsContextId() const;
    // Dead entries not yet pruned included.
    unsigned long long NumEntries() const;

private:
    // The library's scopes, which read the stack without taking references.
    friend class ThreadStacks;

    struct AttachedContext {
        ContextShared* identity;  // compared and hashed, never dereferenced
        std::weak_ptr<ContextShared> record;
        // The record's id, which never changes: read without taking a reference to the record.
        unsigned long long id;
        // Whether a scope opened through this entry has had the record open its own scope.
        bool scopeOpened;
    };
    using Stack = std::list<AttachedContext>;

    mutable Stack m_stack;
    mutable std::unordered_map<ContextShared*, Stack::iterator> m_index;
};

}  // namespace Metrics
