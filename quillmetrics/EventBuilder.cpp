#include "EventBuilder.h"

#include "quillmetrics/MetricsManager.h"

namespace Metrics {

void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, MetricsValue&& first, MetricsValue&& second,
                    MetricsValuePairs* pairs) {
    MetricsEvent event;
    event.subjectId = subject;
    event.contextId = contextId;
    event.bits = bits;
    event.eventType = type;
    event.param1 = std::move(first);
    event.param2 = std::move(second);
    if (pairs != nullptr) {
        event.paramPairs.swap(*pairs);
    }
    ManagerAccess::EmitBuilt(event);
}

}  // namespace Metrics

namespace Metrics {

void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, const LentName& first, MetricsValue&& second) {
    MetricsEvent event;
    event.subjectId = subject;
    event.contextId = contextId;
    event.bits = bits;
    event.eventType = type;
    event.param2 = std::move(second);
    ManagerAccess::EmitBuilt(event, &first);
}

}  // namespace Metrics
