#include "quillmetrics/Scope.h"

#include "ContextShared.h"
#include "CurrentContext.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

namespace {

std::shared_ptr<ContextShared> CurrentContext() { return ThisThreadCurrentContext(); }

void EmitAttribute(MetricsEventType type, const ContextShared& context, MetricsValue&& name,
                   MetricsValue&& value, MetricsValuePairs* pairs, unsigned long long bits) {
    auto event = std::make_shared<MetricsEvent>();
    event->contextId = context.GetId();
    event->eventType = type;
    event->bits = bits;
    event->param1 = std::move(name);
    event->param2 = std::move(value);
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
        EmitAttribute(MetricsEventType::Attribute, *context, std::move(name), std::move(value),
                      nullptr, bits);
    }
}

void MultiAttributeImpl(MetricsValue&& name, MetricsValuePairs&& pairs, unsigned long long bits) {
    const auto context = CurrentContext();
    if (context) {
        EmitAttribute(MetricsEventType::MultiAttribute, *context, std::move(name), MetricsValue(),
                      &pairs, bits);
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
    auto event = std::make_shared<MetricsEvent>();
    event->contextId = m_contextId;
    event->eventType = type;
    event->subjectId = reinterpret_cast<unsigned long long>(this);
    event->bits = m_bits;
    event->param1 = std::move(first);
    event->param2 = std::move(second);
    MetricsManager::GetInstance().EmitEvent(std::move(event));
}

void Scope::MultiEmitImpl(MetricsEventType type, MetricsValue&& first,
                          MetricsValuePairs&& pairs) const {
    auto event = std::make_shared<MetricsEvent>();
    event->contextId = m_contextId;
    event->eventType = type;
    event->subjectId = reinterpret_cast<unsigned long long>(this);
    event->bits = m_bits;
    event->param1 = std::move(first);
    event->paramPairs.swap(pairs);
    MetricsManager::GetInstance().EmitEvent(std::move(event));
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
