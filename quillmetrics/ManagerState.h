#pragma once

// The manager's state, and the gate and push of the library's most frequent events, inline for
// the files whose front ends emit them: an attribute or a scope's open and close is then one call
// into this part of the library, with nothing read back from the caller's stack.

#include <atomic>
#include <memory>
#include <string_view>

#include "ConsumerRegistry.h"
#include "DeliveryThread.h"
#include "EventBuilder.h"
#include "EventRecord.h"
#include "HookSlot.h"
#include "Lifecycle.h"
#include "MetricsClock.h"
#include "ThreadStacks.h"
#include "quillmetrics/MetricsManager.h"

namespace Metrics {

#if defined(_WIN32)
#define QUILLMETRICS_HIDDEN
#else
// Members of a class nested in an exported one would be exported too.
#define QUILLMETRICS_HIDDEN __attribute__((visibility("hidden")))
#endif

struct QUILLMETRICS_HIDDEN MetricsManager::State {
    State(const MetricsManager& manager, std::atomic<unsigned long long>& bits)
        : delivery(manager, consumers, threadInit, queueCounter, bits) {}

    // Gates, stamps, delivers to the synchronous consumers and queues one event; stop marks the
    // manager's own shutdown event, the only one that passes a closed gate and ends the thread.
    void Emit(std::shared_ptr<MetricsEvent> event, bool stop);
    // The same for an event the library built, which goes into the queue's record by value.
    void EmitBuilt(MetricsEvent& event, const LentName* name);
    // The same for the library's most frequent events, a lent name and a number, written into the
    // record without building an event when no synchronous consumer needs one.
    void EmitNamed(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                   unsigned long long bits, std::string_view name, const MetricsValue& second);
    void EmitNamedAsEvent(MetricsEventType type, unsigned long long subject,
                          unsigned long long contextId, unsigned long long bits,
                          std::string_view name, const MetricsValue& second);
    // Whether an event with these bits passes: running, not shut down, and the mask lets it
    // through (unless it is the manager's own stop).
    bool Admits(unsigned long long bits, bool stop) const {
        return !IsShutdown() && delivery.IsRunning() && (stop || MaskAllows(bits));
    }
    // Stamps an event that someone sees before the background thread: its time now.
    static Metrics::Stamp StampNow(MetricsEvent& event) {
        uint64_t ns = 0;
        const Metrics::Stamp stamp =
            TakeConvertedStamp(ns, event.datetimeSeconds, event.datetimeMicroseconds);
        event.timestamp = ns;
        return stamp;
    }

    // The thread only keeps references to the registry and the hooks declared after it.
    DeliveryThread delivery;
    ThreadStacks stacks;
    ConsumerRegistry consumers;
    HookSlot<LoggingFunction> logging;
    HookSlot<LogCallStackFunction> logCallStack;
    DeliveryThread::ThreadInitHook threadInit;
    DeliveryThread::QueueCounterHook queueCounter;
    std::atomic<unsigned long long> nextContextId{0};
    std::atomic<TLSDiagnosticType> tlsDiagnosticType{TLSDiagnosticType::None};
};

[[gnu::always_inline]] inline void MetricsManager::State::EmitNamed(
    MetricsEventType type, unsigned long long subject, unsigned long long contextId,
    unsigned long long bits, std::string_view name, const MetricsValue& second) {
    if (!Admits(bits, false)) {
        return;
    }
    if (consumers.HasSynchronous() || name.size() > kInlineTextBytes ||
        second.m_type == MetricsValueType::String || second.m_type == MetricsValueType::WString) {
        EmitNamedAsEvent(type, subject, contextId, bits, name, second);
        return;
    }
    WaitPastStamp(delivery.Queue().PushNamed(type, subject, contextId, bits, name, second));
}

[[gnu::always_inline]] inline void ManagerAccess::EmitNamed(
    MetricsEventType type, unsigned long long subject, unsigned long long contextId,
    unsigned long long bits, std::string_view name, const MetricsValue& second) {
    // The front ends that call this have found the instance already, through the mask.
    MetricsManager* instance = MetricsManager::s_instance.load(std::memory_order_acquire);
    if (instance == nullptr) {
        instance = &MetricsManager::GetInstance();
    }
    instance->m_state->EmitNamed(type, subject, contextId, bits, name, second);
}

inline bool ManagerAccess::HasSynchronousConsumers() noexcept {
    const MetricsManager* instance = MetricsManager::s_instance.load(std::memory_order_acquire);
    return instance != nullptr && instance->m_state->consumers.HasSynchronous();
}

}  // namespace Metrics
