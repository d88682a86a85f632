#include "EventBuilder.h"

#include "quillmetrics/MetricsManager.h"

namespace Metrics {

namespace {

MetricsEvent EventOf(MetricsEventType type, unsigned long long subject,
                     unsigned long long contextId, unsigned long long bits) {
    MetricsEvent event;
    event.subjectId = subject;
    event.contextId = contextId;
    event.bits = bits;
    event.eventType = type;
    return event;
}

}  // namespace

void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, MetricsValue&& first, MetricsValue&& second,
                    MetricsValuePairs* pairs) {
    MetricsEvent event = EventOf(type, subject, contextId, bits);
    event.param1 = std::move(first);
    event.param2 = std::move(second);
    if (pairs != nullptr) {
        event.paramPairs.swap(*pairs);
    }
    ManagerAccess::EmitBuilt(event);
}

void EmitBuiltEvent(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, const LentName& first, MetricsValue&& second) {
    MetricsEvent event = EventOf(type, subject, contextId, bits);
    event.param2 = std::move(second);
    ManagerAccess::EmitBuilt(event, &first);
}

}  // namespace Metrics
