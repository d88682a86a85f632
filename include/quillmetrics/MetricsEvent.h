#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Metrics {

// Which payload of a MetricsValue is live. A value outside this list carries nothing.
enum class MetricsValueType : uint32_t {
    Int64 = 0,
    Bool = 1,
    Double = 2,
    String = 3,
    WString = 4,
};

// Kind of a MetricsEvent. Consumers must accept any 32-bit value: hosts may send their own
// types through Scope's emit members.
enum class MetricsEventType : int32_t {
    Shutdown = 1,
    ContextCreate = 2,
    ContextOpen = 3,
    ContextClose = 4,
    ScopeOpen = 5,
    ScopeClose = 6,
    ScopeEmit = 7,
    Attribute = 8,
    MultiAttribute = 10,
    ScopeCloseAction = 12,
};

// The name of an event type ("ScopeOpen"), or null for a value the library does not define.
constexpr const char* MetricsEventTypeName(MetricsEventType type) noexcept {
    switch (type) {
        case MetricsEventType::Shutdown:
            return "Shutdown";
        case MetricsEventType::ContextCreate:
            return "ContextCreate";
        case MetricsEventType::ContextOpen:
            return "ContextOpen";
        case MetricsEventType::ContextClose:
            return "ContextClose";
        case MetricsEventType::ScopeOpen:
            return "ScopeOpen";
        case MetricsEventType::ScopeClose:
            return "ScopeClose";
        case MetricsEventType::ScopeEmit:
            return "ScopeEmit";
        case MetricsEventType::Attribute:
            return "Attribute";
        case MetricsEventType::MultiAttribute:
            return "MultiAttribute";
        case MetricsEventType::ScopeCloseAction:
            return "ScopeCloseAction";
    }
    return nullptr;
}

// Actions a scope reports after it closes. The library attaches no meaning to the values: hosts
// define their own and pass them as static_cast<MetricsCloseScopeActions>(n).
enum class MetricsCloseScopeActions : int32_t {};

// A small tagged value: a signed integer, a bool, a double, or a shared narrow or wide string.
// Copies share the string; strings are never modified once in a value. Thread-compatible; copies
// of one value may be made on several threads at once.
class MetricsValue {
public:
    MetricsValue() noexcept
        : m_int(0) {}

    MetricsValue(const char* text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::String)
        , m_int(0)
        , m_string(std::make_shared<std::string>(text ? text : "")) {}
    MetricsValue(const std::string& text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::String)
        , m_int(0)
        , m_string(std::make_shared<std::string>(text)) {}
    MetricsValue(std::string&& text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::String)
        , m_int(0)
        , m_string(std::make_shared<std::string>(std::move(text))) {}

    // Wide text in the platform's wide encoding (UTF-16 on Windows).
    MetricsValue(const wchar_t* text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::WString)
        , m_int(0)
        , m_wstring(std::make_shared<std::wstring>(text ? text : L"")) {}
    MetricsValue(const std::wstring& text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::WString)
        , m_int(0)
        , m_wstring(std::make_shared<std::wstring>(text)) {}
    MetricsValue(std::wstring&& text)  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::WString)
        , m_int(0)
        , m_wstring(std::make_shared<std::wstring>(std::move(text))) {}

    MetricsValue(bool value) noexcept  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::Bool)
        , m_int(0) {
        m_bool = value;
    }
    MetricsValue(double value) noexcept  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::Double)
        , m_double(value) {}
    MetricsValue(float value) noexcept  // NOLINT(google-explicit-constructor)
        : m_type(MetricsValueType::Double)
        , m_double(value) {}

    // Any integer: signed types are sign-extended, 64-bit unsigned values keep their bits (so
    // 2^63 and above read back as negative numbers).
    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    MetricsValue(T value) noexcept  // NOLINT(google-explicit-constructor)
        : m_int(static_cast<int64_t>(value)) {}

    // Any enumeration, through its underlying integer.
    template <typename T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
    MetricsValue(T value) noexcept  // NOLINT(google-explicit-constructor)
        : m_int(static_cast<int64_t>(static_cast<std::underlying_type_t<T>>(value))) {}

    MetricsValue(const MetricsValue& other) noexcept
        : m_type(other.m_type)
        , m_int(other.m_int)
        , m_string(other.m_string)
        , m_wstring(other.m_wstring) {}
    MetricsValue(MetricsValue&& other) noexcept
        : m_type(other.m_type)
        , m_int(other.m_int)
        , m_string(std::move(other.m_string))
        , m_wstring(std::move(other.m_wstring)) {
        other.m_type = MetricsValueType::Int64;
        other.m_int = 0;
    }
    MetricsValue& operator=(const MetricsValue& other) noexcept {
        if (this != &other) {
            m_type = other.m_type;
            m_int = other.m_int;
            m_string = other.m_string;
            m_wstring = other.m_wstring;
        }
        return *this;
    }
    MetricsValue& operator=(MetricsValue&& other) noexcept {
        if (this != &other) {
            m_type = other.m_type;
            m_int = other.m_int;
            m_string = std::move(other.m_string);
            m_wstring = std::move(other.m_wstring);
            other.m_type = MetricsValueType::Int64;
            other.m_int = 0;
            other.m_string.reset();
            other.m_wstring.reset();
        }
        return *this;
    }
    ~MetricsValue() = default;

    // Public data in this order: host consumers read the tag and the payload directly, under
    // these names. m_string is non-null whenever m_type is String, m_wstring whenever it is
    // WString. NOLINTBEGIN(readability-identifier-naming)
    MetricsValueType m_type = MetricsValueType::Int64;
    union {
        bool m_bool;
        int64_t m_int;
        double m_double;
    };
    std::shared_ptr<std::string> m_string;
    std::shared_ptr<std::wstring> m_wstring;
    // NOLINTEND(readability-identifier-naming)
};

using MetricsValuePairs = std::vector<std::pair<MetricsValue, MetricsValue>>;

// One observation. Filled by the thread that emits it; read-only once handed to the manager, and
// then shared by every consumer that receives it.
struct MetricsEvent {
    unsigned long long subjectId = 0;  // scope address, context id, or 0
    unsigned long long contextId = 0;  // context the event belongs to (parent for context events)
    unsigned long long bits = 0;       // category mask; bits 0-11 take part in no test
    unsigned long long timestamp = 0;  // ns since the library was loaded, stamped on emit
    unsigned long long datetimeSeconds = 0;  // wall clock, whole seconds since 1970 UTC
    uint32_t datetimeMicroseconds = 0;       // 0 to 999999
    MetricsValue param1;
    MetricsValue param2;
    MetricsValuePairs paramPairs;
    MetricsEventType eventType = static_cast<MetricsEventType>(0);
};

}  // namespace Metrics
