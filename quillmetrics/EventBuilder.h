#pragma once

#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// The manager's door for the library's own events.
class ManagerAccess {
public:
    // Gates, stamps and queues an event built on the caller's stack; it is moved from.
    static void EmitBuilt(MetricsEvent& event);
};

// Builds one event from its parts and hands it to the manager: the one way the library's own
// events are made, for the front ends and the context records alike. The values are moved in;
// the pairs, when given, are taken over (leaving the caller's vector empty).
void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, MetricsValue&& first, MetricsValue&& second,
                    MetricsValuePairs* pairs = nullptr);

// A context's lifecycle event: the context as subject and as second value, under its parent.
inline void EmitContextEvent(MetricsEventType type, unsigned long long parentId,
                             unsigned long long id) {
    EmitBuiltEvent(type, id, parentId, 0, MetricsValue(), MetricsValue(id));
}

}  // namespace Metrics
