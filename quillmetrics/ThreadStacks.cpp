#include "ThreadStacks.h"

#include <algorithm>
#include <vector>

#include "ContextShared.h"
#include "Lifecycle.h"
#include "PlatformThread.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

namespace {

// A thread's stacks: one in the singleton's table and one in each host-made manager's that the
// thread asked for its stack, each emptied when the thread ends. Wrapped in a type of this file,
// so that the vector's code is not exported along with the stack's type.
struct KnownStack {
    std::weak_ptr<MetricsThreadContext> stack;
};
using ThreadStackList = std::vector<KnownStack>;

void QUILLMETRICS_THREAD_END_CALL ReleaseThreadStacks(void* value) {
    auto* stacks = static_cast<ThreadStackList*>(value);
    for (const KnownStack& known : *stacks) {
        if (const auto owned = known.stack.lock()) {
            while (auto current = owned->GetCurrentContext()) {
                owned->DetachContext(current);
            }
        }
    }
    delete stacks;
}

ThreadEndSlot& StackReleaserSlot() {
    // The stack belongs to the thread, whichever of its fibers runs.
    static ThreadEndSlot slot(&ReleaseThreadStacks, ThreadEndSlot::Reach::Thread);
    return slot;
}

}  // namespace

QUILLMETRICS_EMIT_TLS QUILLMETRICS_THREAD_POINTER MetricsThreadContext* t_singletonStack = nullptr;

void ThreadStacks::CreateThreadSlot() { StackReleaserSlot(); }

std::shared_ptr<MetricsThreadContext> ThreadStacks::ThisThread() {
    const std::shared_ptr<MetricsThreadContext>& stack = m_table.local();
    ThreadEndSlot& releaserSlot = StackReleaserSlot();
    auto* stacks = static_cast<ThreadStackList*>(releaserSlot.Get());
    if (stacks == nullptr) {
        auto fresh = std::make_unique<ThreadStackList>();
        if (!releaserSlot.Set(fresh.get())) {
            return stack;  // no slot: nothing will empty the stack
        }
        stacks = fresh.release();  // the slot owns it now
    }
    // By owner, which a stack made later at the same address does not share.
    const auto same = [&](const KnownStack& known) {
        return !known.stack.owner_before(stack) && !stack.owner_before(known.stack);
    };
    if (std::none_of(stacks->begin(), stacks->end(), same)) {
        // Those of managers destroyed since go first, so the list stays as short as the set of
        // managers alive.
        stacks->erase(std::remove_if(stacks->begin(), stacks->end(),
                                     [](const auto& known) { return known.stack.expired(); }),
                      stacks->end());
        stacks->push_back(KnownStack{stack});
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

MetricsThreadContext::AttachedContext* ThreadStacks::PruneDeadEntries(MetricsThreadContext& stack) {
    auto& entries = stack.m_stack;
    while (!entries.empty()) {
        MetricsThreadContext::AttachedContext& top = entries.back();
        if (!top.record.expired()) {
            return &top;
        }
        stack.m_index.erase(top.identity);
        entries.pop_back();
    }
    return nullptr;
}

bool ThreadStacks::OpenContextScope(MetricsThreadContext::AttachedContext& top,
                                    unsigned long long& id) {
    const std::shared_ptr<ContextShared> record = top.record.lock();
    if (!record) {
        return false;  // gone since the look just now
    }
    record->OpenScope();
    top.scopeOpened = true;
    id = top.id;
    return true;
}

}  // namespace Metrics
