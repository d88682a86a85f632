// The manager's façade: each public operation checks the lifecycle and hands over to the part
// that does the work (the consumer registry, the delivery thread, the thread stacks, the hooks).

#include "quillmetrics/MetricsManager.h"

#include <exception>

#include "ConsumerRegistry.h"
#include "DeliveryThread.h"
#include "EventBuilder.h"
#include "EventRecord.h"
#include "HookSlot.h"
#include "Lifecycle.h"
#include "ManagerState.h"
#include "MetricsClock.h"
#include "PlatformThread.h"
#include "ThreadStacks.h"
#include "quillmetrics/MetricsThreadContext.h"

namespace Metrics {

std::atomic<MetricsManager*> MetricsManager::s_instance{nullptr};

IMetricsListener::IMetricsListener() = default;

IMetricsListener::~IMetricsListener() = default;

MetricsManager::MetricsManager()
    : m_state(std::make_unique<State>(*this, m_bits)) {}

// The thread of a host-made manager whose Disable timed out still runs in this object.
MetricsManager::~MetricsManager() { m_state->delivery.WaitUntilEnded(); }

void MetricsManager::Enable() {
    if (IsShutdown() || m_state->delivery.Started()) {
        return;
    }
    KeepLoadedUntilExit(&ShutdownAtExit);
    m_state->delivery.Start([this] { BackgroundThreadProc(); });
}

bool MetricsManager::Disable() {
    if (!m_state->delivery.Started()) {
        return true;
    }
    auto shutdownEvent = std::make_shared<MetricsEvent>();
    shutdownEvent->eventType = MetricsEventType::Shutdown;
    m_state->Emit(shutdownEvent, true);
    // A logging hook's exception leaves Disable, but only once the shutdown is complete: the
    // stop is queued already, and a manager half stopped could neither run nor be destroyed.
    std::exception_ptr logFailure;
    try {
        Log(LogSeverity::Info, kManagerLogKey,
            TStringCore(L"MetricsManager: Queuing shutdown event", -1));
    } catch (...) {
        logFailure = std::current_exception();
    }
    MarkShutdown();
    const bool ended = m_state->delivery.Stop();
    if (logFailure) {
        std::rethrow_exception(logFailure);
    }
    return ended;
}

bool MetricsManager::IsRunning() { return m_state->delivery.IsRunning(); }

void MetricsManager::BackgroundThreadProc() { m_state->delivery.Run(); }

void MetricsManager::EmitEvent(std::shared_ptr<MetricsEvent> event) {
    m_state->Emit(std::move(event), false);
}

void MetricsManager::State::Emit(std::shared_ptr<MetricsEvent> event, bool stop) {
    // Only the manager's own shutdown event passes a closed gate; a host's event of that type is
    // an event like any other.
    if (!event || !Admits(event->bits, stop)) {
        return;
    }
    const Metrics::Stamp stamp = StampNow(*event);
    if (consumers.HasSynchronous()) {
        consumers.DeliverSynchronously(*event, event->bits & kCategoryMask);
    }
    delivery.Queue().Push(std::move(event), stamp, stop);
    // Whatever happens after this emit, on any thread, is stamped later than this event.
    WaitPastStamp(stamp);
}

void MetricsManager::State::EmitBuilt(MetricsEvent& event, const LentName* name) {
    if (!Admits(event.bits, false)) {
        return;
    }
    const bool synchronous = consumers.HasSynchronous();
    if (name != nullptr && (synchronous || name->text.size() > kInlineTextBytes)) {
        // A synchronous consumer gets a value of its own, and a name too long to copy into the
        // record is kept by reference: both share the lent value's string when there is one.
        event.param1 =
            name->value != nullptr ? *name->value : MetricsValue(std::string(name->text));
        name = nullptr;
    }
    const std::string_view* text = name != nullptr ? &name->text : nullptr;
    if (synchronous) {
        const Metrics::Stamp stamp = StampNow(event);
        consumers.DeliverSynchronously(event, event.bits & kCategoryMask);
        delivery.Queue().PushBuilt(event, text, &stamp);
        WaitPastStamp(stamp);
    } else {
        WaitPastStamp(delivery.Queue().PushBuilt(event, text));
    }
}

void MetricsManager::State::EmitNamedAsEvent(MetricsEventType type, unsigned long long subject,
                                             unsigned long long contextId, unsigned long long bits,
                                             std::string_view name, const MetricsValue& second) {
    MetricsEvent event;
    event.subjectId = subject;
    event.contextId = contextId;
    event.bits = bits;
    event.eventType = type;
    event.param2 = second;
    const LentName lent{name};
    EmitBuilt(event, &lent);
}

void ManagerAccess::EmitBuilt(MetricsEvent& event, const LentName* name) {
    MetricsManager::GetInstance().m_state->EmitBuilt(event, name);
}

void MetricsManager::WaitUntilWritesFlushed(unsigned int milliseconds) {
    if (!IsShutdown() && m_state->delivery.IsRunning()) {
        m_state->delivery.Flush(milliseconds);
    }
}

unsigned long long MetricsManager::GetQueuedEventCount() {
    if (IsShutdown() || !m_state->delivery.IsRunning()) {
        return 0;
    }
    return m_state->delivery.QueuedCount();
}

bool MetricsManager::AddConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener,
                                 unsigned long long bits, bool synchronous) {
    if (IsShutdown() || !m_state->delivery.IsRunning() || !listener) {
        return false;
    }
    return m_state->consumers.Add(listener, bits, synchronous);
}

bool MetricsManager::RemoveConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener) {
    if (IsShutdown() || !m_state->delivery.IsRunning()) {
        return false;
    }
    bool wasAsync = false;
    RefCntPtr<IMetricsListener, RefCntObject> removed =
        m_state->consumers.Remove(listener, wasAsync);
    const bool found = static_cast<bool>(removed);
    if (wasAsync && DeliveryThread::OnThisThread()) {
        m_state->delivery.KeepUntilCallReturns(std::move(removed));
    } else if (wasAsync) {
        m_state->delivery.WaitWhileCalling(removed.get());
    }
    // The listener's destructor, if this was its last reference, runs outside every lock.
    return found;
}

unsigned long long MetricsManager::GetBits() { return m_bits.load(std::memory_order_relaxed); }

unsigned long long MetricsManager::SetBits(unsigned long long bits) {
    return IsShutdown() ? 0 : m_bits.fetch_or(bits, std::memory_order_relaxed);
}

void MetricsManager::ClearBits(unsigned long long bits) {
    if (!IsShutdown()) {
        m_bits.fetch_and(~bits, std::memory_order_relaxed);
    }
}

void MetricsManager::SetBitsAbsolute(unsigned long long bits) {
    if (!IsShutdown()) {
        m_bits.store(bits, std::memory_order_relaxed);
    }
}

void MetricsManager::SetLoggingFunction(LoggingFunction function) {
    if (!IsShutdown()) {
        m_state->logging.Set(std::move(function));
        Log(LogSeverity::Info, kManagerLogKey, TStringCore(L"Logging enabled", -1));
    }
}

MetricsManager::LoggingFunction MetricsManager::GetLoggingFunction() {
    return IsShutdown() ? LoggingFunction() : m_state->logging.Copy();
}

void MetricsManager::SetLogCallStackFunction(LogCallStackFunction function) {
    if (!IsShutdown()) {
        m_state->logCallStack.Set(std::move(function));
    }
}

MetricsManager::LogCallStackFunction MetricsManager::GetLogCallStackFunction() {
    return IsShutdown() ? LogCallStackFunction() : m_state->logCallStack.Copy();
}

void MetricsManager::SetQueueCounterUpdateFunction(std::function<void(int)> function) {
    if (!IsShutdown()) {
        m_state->queueCounter.Set(std::move(function));
    }
}

void MetricsManager::SetThreadInitFunction(std::function<void()> function) {
    if (!IsShutdown()) {
        m_state->threadInit.Set(std::move(function));
    }
}

void MetricsManager::Log(LogSeverity severity, const wchar_t* key,
                         const TStringCore& message) const {
    if (!IsShutdown() && key != nullptr) {
        m_state->logging.Call(severity, key, message);
    }
}

void MetricsManager::LogCallStack(const wchar_t* key) const {
    if (!IsShutdown()) {
        m_state->logCallStack.Call(key);
    }
}

std::shared_ptr<MetricsThreadContext> MetricsManager::GetThreadContext() {
    if (IsShutdown()) {
        return std::make_shared<MetricsThreadContext>();
    }
    return m_state->stacks.ThisThread();
}

unsigned long long MetricsManager::GetCurrentThreadContextId() {
    return IsShutdown() ? 0 : GetThreadContext()->GetMetricsContextId();
}

unsigned long long MetricsManager::GetNextContextId() {
    if (IsShutdown()) {
        return 0;
    }
    return m_state->nextContextId.fetch_add(1, std::memory_order_relaxed) + 1;
}

MetricsManager::TLSDiagnosticType MetricsManager::GetTLSDiagnosticType() {
    if (IsShutdown()) {
        return TLSDiagnosticType::None;
    }
    return m_state->tlsDiagnosticType.load(std::memory_order_relaxed);
}

void MetricsManager::SetTLSDiagnosticType(TLSDiagnosticType type) {
    if (!IsShutdown()) {
        m_state->tlsDiagnosticType.store(type, std::memory_order_relaxed);
    }
}

bool TestBits(unsigned long long bits) {
    MetricsManager::GetInstance();
    return MetricsManager::MaskAllows(bits);
}

}  // namespace Metrics
