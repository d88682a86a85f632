#include "quillmetrics/Scope.h"

#include "ContextShared.h"
#include "ThreadStacks.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

namespace {

std::shared_ptr<ContextShared> CurrentContext() { return ThisThreadCurrentContext(); }

// Builds one event from its parts and hands it to the manager; the values are moved in and the
// pairs, when given, are taken over (leaving the caller's vector empty).
void EmitValueEvent(unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, MetricsEventType type, MetricsValue&& first,
                    MetricsValue&& second, MetricsValuePairs* pairs) {
    auto event = std::make_shared<MetricsEvent>();
    event->subjectId = subject;
    event->contextId = contextId;
    event->bits = bits;
    event->eventType = type;
    event->param1 = std::move(first);
    event->param2 = std::move(second);
    if (pairs != nullptr) {
        event->paramPairs.swap(*pairs);
    }
    MetricsManager::GetInstance().EmitEvent(std::move(event));
}

// Finds the calling thread's current context and lets it open its own scope first, so that the
// context scope always opens before the first scope inside it. False when there is no context.
bool OpenUnderCurrentContext(unsigned long long& contextId) {
    const auto context = CurrentContext();
    if (!context) {
        return false;
    }
    context->OpenScope();
    contextId = context->GetId();
    return true;
}

}  // namespace

bool TestBitsAndContext(unsigned long long bits) {
    if (!TestBits(bits)) {
        return false;
    }
    const auto context = CurrentContext();
    return context && context->IsEnabled();
}

void AttributeImpl(MetricsValue&& name, MetricsValue&& value, unsigned long long bits) {
    const auto context = CurrentContext();
    if (context) {
        EmitValueEvent(0, context->GetId(), bits, MetricsEventType::Attribute, std::move(name),
                       std::move(value), nullptr);
    }
}

void MultiAttributeImpl(MetricsValue&& name, MetricsValuePairs&& pairs, unsigned long long bits) {
    const auto context = CurrentContext();
    if (context) {
        EmitValueEvent(0, context->GetId(), bits, MetricsEventType::MultiAttribute, std::move(name),
                       MetricsValue(), &pairs);
    }
}

Scope::Scope(unsigned long long bits)
    : m_bits(bits) {}

void Scope::OpenImpl(MetricsValue&& name) {
    m_name = name;
    if (OpenUnderCurrentContext(m_contextId)) {
        m_open = true;
        Emit(MetricsEventType::ScopeOpen, m_name, 0);
    }
}

void Scope::OpenImpl(MetricsValue&& name, MetricsValuePairs&& pairs) {
    m_name = name;
    if (OpenUnderCurrentContext(m_contextId)) {
        m_open = true;
        MultiEmitImpl(MetricsEventType::ScopeOpen, std::move(name), std::move(pairs));
    }
}

void Scope::EmitImpl(MetricsEventType type, MetricsValue&& first, MetricsValue&& second) const {
    EmitValueEvent(reinterpret_cast<unsigned long long>(this), m_contextId, m_bits, type,
                   std::move(first), std::move(second), nullptr);
}

void Scope::MultiEmitImpl(MetricsEventType type, MetricsValue&& first,
                          MetricsValuePairs&& pairs) const {
    EmitValueEvent(reinterpret_cast<unsigned long long>(this), m_contextId, m_bits, type,
                   std::move(first), MetricsValue(), &pairs);
}

void Scope::Close() {
    if (!m_open) {
        return;
    }
    Emit(MetricsEventType::ScopeClose, m_name, 0);
    for (const MetricsCloseScopeActions action : m_postCloseActions) {
        Emit(MetricsEventType::ScopeCloseAction, m_name, action);
    }
    m_postCloseActions.clear();
    m_open = false;
}

bool Scope::IsOpen() { return m_open; }

void Scope::SetPostScopeCloseEvents(std::list<MetricsCloseScopeActions>&& actions) {
    m_postCloseActions.clear();
    m_postCloseActions.splice(m_postCloseActions.end(), actions);
}

}  // namespace Metrics
