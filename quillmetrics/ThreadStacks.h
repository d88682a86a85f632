#pragma once

#include <memory>

#include <tbb/enumerable_thread_specific.h>

#include "Lifecycle.h"
#include "PlatformThread.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

class ContextShared;

// The calling thread's stack in the singleton's table, once it has asked for it. The table keeps
// every stack for the manager's life, so the plain pointer stays valid.
extern QUILLMETRICS_EMIT_TLS QUILLMETRICS_THREAD_POINTER MetricsThreadContext* t_singletonStack;

// The calling thread's stack in the singleton's table, or null once the manager has shut down
// (when every call would get a fresh, empty stack). Only for the calling thread.
MetricsThreadContext* ThisThreadStack();

// Every thread's stack of attached contexts, kept for the manager's life and emptied when its
// thread ends, so that a later thread that the system gives the same id, and so the same stack,
// starts with no context attached.
class ThreadStacks {
public:
    // Makes the thread-end slot that the stacks are emptied through. Whatever calls this during
    // its own construction is destroyed before the slot.
    static void CreateThreadSlot();

    // The calling thread's stack; only for that thread.
    std::shared_ptr<MetricsThreadContext> ThisThread();

    // What a scope opening on the calling thread needs: whether there is a current context
    // (enabled or not) and its id, once the context has opened its own scope, so that the
    // context scope always opens before the first scope inside it. Takes a reference to the
    // context only the first time a scope opens in it through this attachment.
    static bool ContextForScope(unsigned long long& id) {
        MetricsThreadContext::AttachedContext* top = TopLiveEntry();
        if (top == nullptr) {
            return false;
        }
        if (!top->scopeOpened) {
            return OpenContextScope(*top, id);
        }
        id = top->id;
        return true;
    }
    // Whether the calling thread has a current context, enabled or not, and its id; takes no
    // reference to it.
    static bool CurrentContextId(unsigned long long& id) {
        const MetricsThreadContext::AttachedContext* top = TopLiveEntry();
        if (top == nullptr) {
            return false;
        }
        id = top->id;
        return true;
    }

private:
    // The calling thread's top live entry, pruning dead ones above it; null when there is none.
    // Inline, since every attribute and scope asks: finding the thread's stack the first time, and
    // pruning dead entries on top, go out of line.
    static MetricsThreadContext::AttachedContext* TopLiveEntry() {
        if (IsShutdown()) {
            return nullptr;  // later look-ups would get no stack
        }
        MetricsThreadContext* stack = t_singletonStack;
        if (stack == nullptr && (stack = ThisThreadStack()) == nullptr) {
            return nullptr;
        }
        // An expiry check costs no atomic write, where taking a reference costs two.
        auto& entries = stack->m_stack;
        if (!entries.empty() && !entries.back().record.expired()) {
            return &entries.back();
        }
        return PruneDeadEntries(*stack);
    }
    // ContextForScope, the first time a scope opens through the entry top.
    static bool OpenContextScope(MetricsThreadContext::AttachedContext& top,
                                 unsigned long long& id);
    static MetricsThreadContext::AttachedContext* PruneDeadEntries(MetricsThreadContext& stack);

    // The slots come from the ordinary heap rather than oneTBB's cache-aligned allocator: that one
    // draws on tbbmalloc's own mappings, which leak checkers in the host's process cannot scan, so
    // every thread's stack would be reported as leaked. Each slot is padded to a cache line either
    // way, and only its own thread touches it after creation.
    using Table =
        tbb::enumerable_thread_specific<std::shared_ptr<MetricsThreadContext>,
                                        std::allocator<std::shared_ptr<MetricsThreadContext>>>;

    Table m_table{[] { return std::make_shared<MetricsThreadContext>(); }};
};

// The calling thread's current context, or empty: what
// GetInstance().GetThreadContext()->GetCurrentContext() gives, without its reference counting.
std::shared_ptr<ContextShared> ThisThreadCurrentContext();

// The id of the calling thread's current context, or 0 when it has none or a disabled one: what
// an attribute needs, without a reference to the context.
inline unsigned long long ThisThreadCurrentContextId() {
    unsigned long long id = 0;
    return ThreadStacks::CurrentContextId(id) ? id : 0;
}

}  // namespace Metrics
