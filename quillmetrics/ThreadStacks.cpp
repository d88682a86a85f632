#include "ThreadStacks.h"

#include "ContextShared.h"
#include "Lifecycle.h"
#include "PlatformThread.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

namespace {

// Empties a thread's stack when the thread ends. The value is a heap
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

void ThreadStacks::CreateThreadSlot() { StackReleaserSlot(); }

std::shared_ptr<MetricsThreadContext> ThreadStacks::ThisThread() {
    const std::shared_ptr<MetricsThreadContext>& stack = m_table.local();
    ThreadEndSlot& releaserSlot = StackReleaserSlot();
    if (releaserSlot.Get() == nullptr) {
        auto releaser = std::make_unique<std::weak_ptr<MetricsThreadContext>>(stack);
        if (releaserSlot.Set(releaser.get())) {
            static_cast<void>(releaser.release());  // the slot owns it now
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

MetricsThreadContext::AttachedContext* ThreadStacks::TopLiveEntry() {
    // Read once: a shutdown on another thread makes later look-ups give no stack.
    MetricsThreadContext* stack = ThisThreadStack();
    if (stack == nullptr) {
        return nullptr;
    }
    // An expiry check costs no atomic write, where taking a reference costs two.
    auto& entries = stack->m_stack;
    while (!entries.empty()) {
        MetricsThreadContext::AttachedContext& top = entries.back();
        if (!top.record.expired()) {
            return &top;
        }
        stack->m_index.erase(top.identity);
        entries.pop_back();
    }
    return nullptr;
}

bool ThreadStacks::CurrentContextId(unsigned long long& id) {
    const MetricsThreadContext::AttachedContext* top = TopLiveEntry();
    if (top == nullptr) {
        return false;
    }
    id = top->id;
    return true;
}

bool ThreadStacks::ContextForScope(unsigned long long& id) {
    MetricsThreadContext::AttachedContext* top = TopLiveEntry();
    if (top == nullptr) {
        return false;
    }
    if (!top->scopeOpened) {
        const std::shared_ptr<ContextShared> record = top->record.lock();
        if (!record) {
            return false;  // gone since the look just now
        }
        record->OpenScope();
        top->scopeOpened = true;
    }
    id = top->id;
    return true;
}

}  // namespace Metrics
