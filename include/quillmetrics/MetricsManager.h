#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "quillmetrics/MetricsEvent.h"
#include "quillmetrics/export.h"
#include "quillsys/ReferenceCount.h"
#include "quillsys/TStringCore.h"

namespace Metrics {

class MetricsThreadContext;

// A consumer of events. Owned through RefCntPtr; the manager holds a reference while the consumer
// is registered. OnEvent of a synchronous consumer runs on the emitting thread while the manager
// holds its consumer lock for reading: it must not call AddConsumer or RemoveConsumer. OnEvent of
// an asynchronous consumer runs on the background thread with no lock held, one event at a time.
class QUILLMETRICS_API IMetricsListener : public RefCntObject {
public:
    IMetricsListener();
    IMetricsListener(const IMetricsListener&) = delete;
    IMetricsListener& operator=(const IMetricsListener&) = delete;
    ~IMetricsListener() override;
    // The event is valid only during the call.
    virtual void OnEvent(const MetricsEvent& event) = 0;
};

// The process-wide manager through which every event passes. Thread-safe, except that hooks and
// the diagnostic mode are meant to be set during start-up, before other threads use the library.
// Once shut down, every operation is a no-op that returns false, 0 or an empty result.
class QUILLMETRICS_API MetricsManager {
public:
    enum class LogSeverity : char {
        Info = 'i',
        Warning = 'w',
    };

    // How an invalid attach or detach of a Context is reported.
    enum class TLSDiagnosticType : int {
        None = 0,
        Throw = 1,
        Log = 2,
        LogCallStack = 3,
    };

    using LoggingFunction = std::function<void(LogSeverity, const wchar_t*, const TStringCore&)>;
    using LogCallStackFunction = std::function<void(const wchar_t*)>;

    // The category part of a mask: bits 0 to 11 are not categories and take part in no test.
    static constexpr unsigned long long kCategoryMask = 0xFFFFFFFFFFFFF000ULL;

    // The singleton, created on first call. Takes no lock once it exists.
    static MetricsManager& GetInstance();

    // The global category gate, inline for the front ends: whether an event with category mask
    // bits would pass it. False while no manager exists (its mask would be 0). No call, no lock.
    static bool MaskAllows(unsigned long long bits) noexcept {
        const MetricsManager* instance = s_instance.load(std::memory_order_acquire);
        if (instance == nullptr) {
            return false;
        }
        const unsigned long long global = instance->m_bits.load(std::memory_order_relaxed);
        const unsigned long long categories = bits & kCategoryMask;
        return global != 0 && (categories == 0 || (global & categories) != 0);
    }

    MetricsManager();
    MetricsManager(const MetricsManager&) = delete;
    MetricsManager& operator=(const MetricsManager&) = delete;
    // Must not run while the manager is enabled: disable it first.
    ~MetricsManager();

    // Starts the background thread. Does nothing once shut down or when already started. When the
    // thread cannot be created, the exception (std::system_error, std::bad_alloc) leaves Enable
    // and the manager stays as it was: not running, so it may be enabled again.
    void Enable();
    // Queues the shutdown event behind everything emitted so far, shuts the manager down for good
    // and waits up to 1000 ms for the background thread; false when it did not end in time.
    bool Disable();
    bool IsRunning();

    // Filters, stamps and delivers one event; event must not be empty. Synchronous consumers run
    // before this returns; asynchronous ones later, on the background thread. It returns only once
    // the clock has moved past the event's stamp (at once on a clock of 1 ns steps, up to one step
    // on a coarser one), so that any event that happens after it, on any thread, is stamped later
    // and delivered later. An event of type Shutdown is an event like any other: only Disable's
    // own ends delivery.
    void EmitEvent(std::shared_ptr<MetricsEvent> event);
    // Blocks until every event emitted before the call has been handed to the asynchronous
    // consumers and the library holds it no more, or until the time runs out. Returns at once
    // when the manager is not running.
    void WaitUntilWritesFlushed(unsigned int milliseconds);

    // The one-time shutdown of the singleton; neither creates nor deletes it. May block up to
    // 1000 ms; must not be called from a consumer or a hook.
    static void ShutdownAndFlush();
    static void ShutdownAndFreeInstance();

    // Registration works only while the manager runs, and not from inside a synchronous
    // consumer's OnEvent (refused with false: the consumer lock is held there). The listener must
    // not be empty.
    bool AddConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener,
                     unsigned long long bits, bool synchronous);
    // Removes one registration of that object, a synchronous one first. Refused like AddConsumer.
    // Returns once the background thread neither runs the consumer nor holds it: it waits only
    // while the thread is calling that very consumer (at most 1000 ms), never for other
    // consumers. Called on the background thread (from an asynchronous consumer, perhaps the one
    // removed), it does not wait, and the consumer is let go once its running call returns.
    bool RemoveConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener);

    unsigned long long GetBits();
    // Returns the mask as it was before.
    unsigned long long SetBits(unsigned long long bits);
    void ClearBits(unsigned long long bits);
    void SetBitsAbsolute(unsigned long long bits);

    // Hooks. Install them before Enable and before other threads use the library; the queue-counter
    // and thread-init hooks and the background thread's log lines run on the background thread and
    // must not throw.
    void SetLoggingFunction(LoggingFunction function);
    LoggingFunction GetLoggingFunction();
    void SetLogCallStackFunction(LogCallStackFunction function);
    LogCallStackFunction GetLogCallStackFunction();
    void SetQueueCounterUpdateFunction(std::function<void(int)> function);
    void SetThreadInitFunction(std::function<void()> function);
    void Log(LogSeverity severity, const wchar_t* key, const TStringCore& message) const;
    void LogCallStack(const wchar_t* key) const;

    // The calling thread's context stack; use it only on that thread.
    std::shared_ptr<MetricsThreadContext> GetThreadContext();
    unsigned long long GetCurrentThreadContextId();
    unsigned long long GetNextContextId();
    TLSDiagnosticType GetTLSDiagnosticType();
    void SetTLSDiagnosticType(TLSDiagnosticType type);

private:
    struct State;

    void BackgroundThreadProc();

    // The singleton; set once, never reset.
    static std::atomic<MetricsManager*> s_instance;

    // Read on every emit; relaxed, as hosts set it during start-up.
    std::atomic<unsigned long long> m_bits{0};
    std::unique_ptr<State> m_state;
};

// Whether an event with category mask bits would pass the manager's global gate.
QUILLMETRICS_API bool TestBits(unsigned long long bits);

}  // namespace Metrics
