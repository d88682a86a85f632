#include "quillmetrics/Scope.h"

#include <algorithm>

#include "ContextShared.h"
#include "EventBuilder.h"
#include "ManagerState.h"
#include "ThreadStacks.h"

namespace Metrics {

bool TestBitsAndContext(unsigned long long bits) {
    return MetricsManager::MaskAllows(bits) && ThisThreadCurrentContextId() != 0;
}

// Without the test, a disabled current context still takes what is recorded, under id 0.
void AttributeImpl(MetricsValue&& name, MetricsValue&& value, unsigned long long bits) {
    unsigned long long contextId = 0;
    if (ThreadStacks::CurrentContextId(contextId)) {
        EmitBuiltEvent(MetricsEventType::Attribute, 0, contextId, bits, std::move(name),
                       std::move(value));
    }
}

void AttributeNamed(const char* name, unsigned long long length, MetricsValue&& value,
                    unsigned long long bits) {
    if (const unsigned long long contextId = ThisThreadCurrentContextId()) {
        ManagerAccess::EmitNamed(MetricsEventType::Attribute, 0, contextId, bits,
                                 std::string_view(name, static_cast<size_t>(length)), value);
    }
}

void MultiAttributeImpl(MetricsValue&& name, MetricsValuePairs&& pairs, unsigned long long bits) {
    unsigned long long contextId = 0;
    if (ThreadStacks::CurrentContextId(contextId)) {
        EmitBuiltEvent(MetricsEventType::MultiAttribute, 0, contextId, bits, std::move(name),
                       MetricsValue(), &pairs);
    }
}

Scope::Scope(unsigned long long bits)
    : m_bits(bits) {}

namespace {

// A scope's name event when the name is not kept short: lent when it is text, else a copy.
[[gnu::noinline]] void EmitKeptName(MetricsEventType type, unsigned long long subject,
                                    unsigned long long contextId, unsigned long long bits,
                                    const MetricsValue& name, MetricsValue&& second) {
    if (name.m_type == MetricsValueType::String && name.m_string) {
        // Lent rather than shared: the record copies a short name and counts no reference.
        EmitBuiltEvent(type, subject, contextId, bits,
                       LentName{std::string_view(*name.m_string), &name}, std::move(second));
    } else {
        EmitBuiltEvent(type, subject, contextId, bits, MetricsValue(name), std::move(second));
    }
}

}  // namespace

// Inline in the open and the close, so that each is one call into the library's emit.
[[gnu::always_inline]] inline void Scope::EmitName(MetricsEventType type,
                                                   MetricsValue&& second) const {
    const auto subject = reinterpret_cast<unsigned long long>(this);
    if (m_shortNameLength != 0) {
        ManagerAccess::EmitNamed(type, subject, m_contextId, m_bits,
                                 std::string_view(m_shortName, m_shortNameLength), second);
    } else {
        EmitKeptName(type, subject, m_contextId, m_bits, m_name, std::move(second));
    }
}

void Scope::OpenImpl(MetricsValue&& name) {
    m_name = name;
    m_shortNameLength = 0;
    if (ThreadStacks::ContextForScope(m_contextId)) {
        m_open = true;
        EmitName(MetricsEventType::ScopeOpen, 0);
    }
}

void Scope::OpenNamed(const char* name, unsigned long long length) {
    // Only into an enabled context, as TestBitsAndContext would have it.
    if (!ThreadStacks::ContextForScope(m_contextId) || m_contextId == 0) {
        return;
    }
    // A synchronous consumer takes the name as a value of its own at each event: made once here,
    // it is shared, and a close needs no allocation.
    if (length != 0 && length <= s_shortNameBytes && !ManagerAccess::HasSynchronousConsumers()) {
        CopyShortText(m_shortName, name, static_cast<size_t>(length));
        m_shortNameLength = static_cast<unsigned char>(length);
        m_open = true;
        // The open's record copies the caller's name, not the copy just made: read back at once,
        // the copy's overlapping stores would hold the read until they reach the cache.
        ManagerAccess::EmitNamed(MetricsEventType::ScopeOpen,
                                 reinterpret_cast<unsigned long long>(this), m_contextId, m_bits,
                                 std::string_view(name, static_cast<size_t>(length)), 0);
        return;
    }
    m_name = MetricsValue(std::string(name, static_cast<size_t>(length)));
    m_open = true;
    EmitName(MetricsEventType::ScopeOpen, 0);
}

void Scope::OpenImpl(MetricsValue&& name, MetricsValuePairs&& pairs) {
    m_name = name;
    m_shortNameLength = 0;
    if (ThreadStacks::ContextForScope(m_contextId)) {
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
    EmitName(MetricsEventType::ScopeClose, 0);
    for (const MetricsCloseScopeActions action : m_postCloseActions) {
        EmitName(MetricsEventType::ScopeCloseAction, action);
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
