#include "quillmetrics/Scope.h"

#include "ContextShared.h"
#include "EventBuilder.h"
#include "ThreadStacks.h"

namespace Metrics {

namespace {

// Finds the calling thread's current context and lets it open its own scope first, so that the
// context scope always opens before the first scope inside it. False when there is no context.
bool OpenUnderCurrentContext(unsigned long long& contextId) {
    const auto context = ThisThreadCurrentContext();
    if (!context) {
        return false;
    }
    context->OpenScope();
    contextId = context->GetId();
    return true;
}

}  // namespace

bool TestBitsAndContext(unsigned long long bits) { return ContextIfRecorded(bits) != nullptr; }

void AttributeImpl(MetricsValue&& name, MetricsValue&& value, unsigned long long bits) {
    if (const auto context = ThisThreadCurrentContext()) {
        EmitBuiltEvent(MetricsEventType::Attribute, 0, context->GetId(), bits, std::move(name),
                       std::move(value));
    }
}

void MultiAttributeImpl(MetricsValue&& name, MetricsValuePairs&& pairs, unsigned long long bits) {
    if (const auto context = ThisThreadCurrentContext()) {
        EmitBuiltEvent(MetricsEventType::MultiAttribute, 0, context->GetId(), bits, std::move(name),
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
    EmitBuiltEvent(type, reinterpret_cast<unsigned long long>(this), m_contextId, m_bits,
                   std::move(first), std::move(second));
}

void Scope::MultiEmitImpl(MetricsEventType type, MetricsValue&& first,
                          MetricsValuePairs&& pairs) const {
    EmitBuiltEvent(type, reinterpret_cast<unsigned long long>(this), m_contextId, m_bits,
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
