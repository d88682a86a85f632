#pragma once

#include <list>
#include <utility>

#include "quillmetrics/MetricsEvent.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/export.h"

namespace Metrics {

// The front ends below may be used on any thread, from consumers and hooks included. None blocks
// beyond the synchronous consumers of the events it emits; only std::bad_alloc leaves them (a
// synchronous consumer's own non-standard exception aside, see IMetricsListener); destroying a
// scope never throws.

// Whether an event with category mask bits would be recorded on the calling thread: the manager's
// mask lets the categories through and the thread has an enabled current context. Looks at the
// thread only when the categories pass.
QUILLMETRICS_API bool TestBitsAndContext(unsigned long long bits);

// Record a name/value pair (or a name and pairs) against the calling thread's current context.
// They do no category test of their own; with no current context they leave their arguments as
// they were, otherwise they move from them.
QUILLMETRICS_API void AttributeImpl(MetricsValue&& name, MetricsValue&& value,
                                    unsigned long long bits);
QUILLMETRICS_API void MultiAttributeImpl(MetricsValue&& name, MetricsValuePairs&& pairs,
                                         unsigned long long bits);

// Records an attribute when TestBitsAndContext(bits) holds; builds nothing otherwise.
template <typename Name, typename Value>
void Attribute(Name&& name, Value&& value, unsigned long long bits) {
    if (MetricsManager::MaskAllows(bits) && TestBitsAndContext(bits)) {
        AttributeImpl(MetricsValue(std::forward<Name>(name)),
                      MetricsValue(std::forward<Value>(value)), bits);
    }
}

template <typename Name>
void MultiAttribute(Name&& name, MetricsValuePairs&& pairs, unsigned long long bits) {
    if (MetricsManager::MaskAllows(bits) && TestBitsAndContext(bits)) {
        MultiAttributeImpl(MetricsValue(std::forward<Name>(name)), std::move(pairs), bits);
    }
}

// A stretch of work inside the calling thread's current context: ScopeOpen when it opens, its
// emits, then ScopeClose and one ScopeCloseAction per post-close action when it closes. Every event
// carries the scope's address as subject, so a scope is neither copied nor moved.
// Thread-compatible; meant for the thread that created it: its events go to the context that was
// current there when it opened.
class QUILLMETRICS_API Scope {
public:
    // Does not open the scope.
    explicit Scope(unsigned long long bits);

    // Opens the scope when TestBitsAndContext(bits) holds; a scope that is not wanted builds and
    // allocates nothing.
    template <typename Name>
    Scope(Name&& name, unsigned long long bits)
        : m_bits(bits) {
        if (MetricsManager::MaskAllows(m_bits) && TestBitsAndContext(m_bits)) {
            OpenImpl(MetricsValue(std::forward<Name>(name)));
        }
    }

    // Opens the scope, sending the pairs with its ScopeOpen event.
    template <typename Name>
    Scope(Name&& name, MetricsValuePairs&& pairs, unsigned long long bits)
        : m_bits(bits) {
        if (MetricsManager::MaskAllows(m_bits) && TestBitsAndContext(m_bits)) {
            OpenImpl(MetricsValue(std::forward<Name>(name)), std::move(pairs));
        }
    }

    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // Closes the scope when it is open. An exception on the way (out of memory, a synchronous
    // consumer's own) costs the close events, never the host process.
    ~Scope() {
        if (m_open) {
            try {
                Close();
            } catch (...) {
                m_open = false;
            }
        }
    }

    // Opens (or reopens) the scope under the calling thread's current context; with none, the scope
    // stays closed and only the name is kept.
    void OpenImpl(MetricsValue&& name);

    // Emits a pair when the scope is open; converts the arguments only then.
    template <typename First, typename Second>
    void Emit(MetricsEventType type, First&& first, Second&& second) const {
        if (m_open) {
            EmitImpl(type, MetricsValue(std::forward<First>(first)),
                     MetricsValue(std::forward<Second>(second)));
        }
    }
    template <typename First, typename Second>
    void Emit(First&& first, Second&& second) const {
        Emit(MetricsEventType::ScopeEmit, std::forward<First>(first), std::forward<Second>(second));
    }
    template <typename First>
    void MultiEmit(MetricsEventType type, First&& first, MetricsValuePairs&& pairs) const {
        if (m_open) {
            MultiEmitImpl(type, MetricsValue(std::forward<First>(first)), std::move(pairs));
        }
    }

    void Close();
    bool IsOpen();
    // Replaces the actions reported at the next close; leaves the caller's list empty.
    void SetPostScopeCloseEvents(std::list<MetricsCloseScopeActions>&& actions);

private:
    void OpenImpl(MetricsValue&& name, MetricsValuePairs&& pairs);
    void EmitImpl(MetricsEventType type, MetricsValue&& first, MetricsValue&& second) const;
    void MultiEmitImpl(MetricsEventType type, MetricsValue&& first,
                       MetricsValuePairs&& pairs) const;

    bool m_open = false;
    MetricsValue m_name;
    unsigned long long m_bits;
    unsigned long long m_contextId = 0;
    std::list<MetricsCloseScopeActions> m_postCloseActions;
};

}  // namespace Metrics
