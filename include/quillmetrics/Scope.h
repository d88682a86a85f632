#pragma once

#include <list>
#include <string>
#include <string_view>
#include <type_traits>
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

// AttributeImpl for a narrow name borrowed for the call (length bytes at name) and a value that
// holds no text: it copies the name only where it must, so that a call allocates nothing.
QUILLMETRICS_API void AttributeNamed(const char* name, unsigned long long length,
                                     MetricsValue&& value, unsigned long long bits);

namespace Detail {

// Names the front ends borrow for the length of a call rather than copy into a MetricsValue:
// narrow string literals, character pointers (null reads as "") and std::string.
template <typename T>
constexpr bool kBorrowedName =
    std::is_convertible_v<T, const char*> || std::is_same_v<std::decay_t<T>, std::string>;
// Values that build without allocating: numbers, truth values and enumerations.
template <typename T>
constexpr bool kScalarValue =
    std::is_arithmetic_v<std::decay_t<T>> || std::is_enum_v<std::decay_t<T>>;

inline std::string_view NameText(const char* name) noexcept {
    return name != nullptr ? std::string_view(name) : std::string_view();
}
inline std::string_view NameText(const std::string& name) noexcept { return name; }

}  // namespace Detail

// Records an attribute when TestBitsAndContext(bits) holds; builds nothing otherwise.
template <typename Name, typename Value>
void Attribute(Name&& name, Value&& value, unsigned long long bits) {
    if (!MetricsManager::MaskAllows(bits)) {
        return;
    }
    if constexpr (Detail::kBorrowedName<Name> && Detail::kScalarValue<Value>) {
        const std::string_view text = Detail::NameText(name);
        AttributeNamed(text.data(), text.size(), MetricsValue(value), bits);
    } else if (TestBitsAndContext(bits)) {
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
        if (!MetricsManager::MaskAllows(m_bits)) {
            return;
        }
        if constexpr (Detail::kBorrowedName<Name>) {
            const std::string_view text = Detail::NameText(name);
            OpenNamed(text.data(), text.size());
        } else if (TestBitsAndContext(m_bits)) {
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
    // Opens under the current context when there is one and the bits pass; builds nothing else.
    void OpenNamed(const char* name, unsigned long long length);
    // Emits the scope's name with a second value.
    void EmitName(MetricsEventType type, MetricsValue&& second) const;
    void OpenImpl(MetricsValue&& name, MetricsValuePairs&& pairs);
    void EmitImpl(MetricsEventType type, MetricsValue&& first, MetricsValue&& second) const;
    void MultiEmitImpl(MetricsEventType type, MetricsValue&& first,
                       MetricsValuePairs&& pairs) const;

    // A name lent by a literal, a char* or a std::string, up to s_shortNameBytes, is kept here
    // rather than in m_name: a scope then allocates nothing.
    static constexpr unsigned char s_shortNameBytes = 40;
    bool m_open = false;
    unsigned char m_shortNameLength = 0;
    char m_shortName[s_shortNameBytes];
    MetricsValue m_name;
    unsigned long long m_bits;
    unsigned long long m_contextId = 0;
    std::list<MetricsCloseScopeActions> m_postCloseActions;
};

}  // namespace Metrics
