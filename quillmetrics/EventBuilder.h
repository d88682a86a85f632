#pragma once

#include <string_view>

#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// A first value lent for the length of an emit: its text, and the value that holds it, if any,
// for a synchronous consumer to share. Without one, the text is copied only for a synchronous
// consumer or when it is too long for the record.
struct LentName {
    std::string_view text;
    const MetricsValue* value = nullptr;
};

// The manager's door for the library's own events.
class ManagerAccess {
public:
    // Gates, stamps and queues an event built on the caller's stack; it is moved from. A lent
    // name, when given, is the first value.
    static void EmitBuilt(MetricsEvent& event, const LentName* name = nullptr);
    // The same for an event of a lent name and a number (or any value: text goes the way above),
    // which costs no event at all when no synchronous consumer is registered. Inline, in
    // ManagerState.h, so that the front end that calls it is the emit's only call; the name comes
    // in registers (read back from the caller's stack in one piece, it would wait for the two
    // stores that wrote it to reach the cache).
    static void EmitNamed(MetricsEventType type, unsigned long long subject,
                          unsigned long long contextId, unsigned long long bits,
                          std::string_view name, const MetricsValue& second);
    // Whether a synchronous consumer is registered now. Inline, in ManagerState.h.
    static bool HasSynchronousConsumers() noexcept;
};

// Builds one event from its parts and hands it to the manager: the one way the library's own
// events are made, for the front ends and the context records alike. The values are moved in;
// the pairs, when given, are taken over (leaving the caller's vector empty).
void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, MetricsValue&& first, MetricsValue&& second,
                    MetricsValuePairs* pairs = nullptr);

// The same with a lent first value.
void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, const LentName& first, MetricsValue&& second);

// A context's lifecycle event: the context as subject and as second value, under its parent.
inline void EmitContextEvent(MetricsEventType type, unsigned long long parentId,
                             unsigned long long id) {
    EmitBuiltEvent(type, id, parentId, 0, MetricsValue(), MetricsValue(id));
}

}  // namespace Metrics
