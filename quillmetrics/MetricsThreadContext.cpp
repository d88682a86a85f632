#include "quillmetrics/MetricsThreadContext.h"

#include "ContextShared.h"

namespace Metrics {

MetricsThreadContext::MetricsThreadContext() = default;

MetricsThreadContext::~MetricsThreadContext() = default;

void MetricsThreadContext::AttachContext(std::shared_ptr<ContextShared>& record) {
    ContextShared* identity = record.get();
    const auto found = m_index.find(identity);
    if (found != m_index.end()) {
        // Move the node itself, so the stored weak reference stays the one taken at attach.
        m_stack.splice(m_stack.end(), m_stack, found->second);
        found->second = std::prev(m_stack.end());
        return;
    }
    m_stack.push_back(AttachedContext{identity, record, record->GetId(), false});
    try {
        m_index.emplace(identity, std::prev(m_stack.end()));
    } catch (...) {
        m_stack.pop_back();
        throw;
    }
}

void MetricsThreadContext::DetachContext(std::shared_ptr<ContextShared>& record) {
    const auto found = m_index.find(record.get());
    if (found == m_index.end()) {
        return;
    }
    m_stack.erase(found->second);
    m_index.erase(found);
}

bool MetricsThreadContext::IsAttached(std::shared_ptr<ContextShared>& record) const {
    return m_index.find(record.get()) != m_index.end();
}

std::shared_ptr<ContextShared> MetricsThreadContext::GetCurrentContext() const {
    while (!m_stack.empty()) {
        AttachedContext& top = m_stack.back();
        if (auto current = top.record.lock()) {
            return current;
        }
        m_index.erase(top.identity);
        m_stack.pop_back();
    }
    return {};
}

unsigned long long MetricsThreadContext::GetMetricsContextId() const {
    const auto current = GetCurrentContext();
    return current ? current->GetId() : 0;
}

unsigned long long MetricsThreadContext::GetParentMetricsContextId() const {
    const auto current = GetCurrentContext();
    return current ? current->GetParentId() : 0;
}

unsigned long long MetricsThreadContext::NumEntries() const { return m_stack.size(); }

}  // namespace Metrics
