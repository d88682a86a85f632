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
class ManagerAccess;

// The category part of a mask: bits 0 to 11 are not categories and take part in no test.
constexpr unsigned long long kCategoryMask = 0xFFFFFFFFFFFFF000ULL;

// A consumer of events. Owned through RefCntPtr; the manager holds a reference while the consumer
// is registered.
//
// A synchronous consumer's OnEvent runs on the emitting thread while the manager holds its
// consumer lock for reading. It may emit; AddConsumer and RemoveConsumer called from it are
// refused with false; it must not call WaitUntilWritesFlushed, Disable or ShutdownAndFlush (they
// would wait, until their time runs out, for the lock it holds). A std::exception it throws costs
// it that one event; any other exception leaves EmitEvent, and the event is not queued.
//
// An asynchronous consumer's OnEvent runs on the background thread with no lock held, one event at
// a time. It may emit, and add or remove consumers (itself included); it must not call Disable or
// ShutdownAndFlush (they wait for this very thread), and it should not block for long: every other
// asynchronous consumer waits behind it. Every exception it throws costs it that one event.
class QUILLMETRICS_API IMetricsListener : public RefCntObject {
public:
    IMetricsListener();
    IMetricsListener(const IMetricsListener&) = delete;
    IMetricsListener& operator=(const IMetricsListener&) = delete;
    ~IMetricsListener() override;
    // The event is valid only during the call: the background thread rebuilds each event from
    // its queued form into storage it reuses. A consumer that keeps anything copies it (copies of
    // a MetricsValue share its string, which nothing changes afterwards).
    virtual void OnEvent(const MetricsEvent& event) = 0;
};

// The process-wide manager through which every event passes. Every member may be called from any
// thread unless its comment says otherwise; Enable and Disable are meant for one controlling
// thread. Once shut down, every operation is a no-op that returns false, 0 or an empty result and
// takes no lock. Apart from what a comment names, nothing throws but std::bad_alloc.
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

    // The singleton, created on first call (std::bad_alloc when it cannot be). Takes no lock once
    // it exists, so consumers and hooks may call it.
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

    // A host may make a manager of its own, though the front ends only ever use the singleton; the
    // library never destroys the singleton. A host-made manager has its own thread, consumers,
    // hooks and context stacks (each emptied when its thread ends), but not its own gate: events
    // pass it by the singleton's mask (none while there is no singleton), and its Disable shuts
    // down the whole library, the singleton included, for good.
    MetricsManager();
    MetricsManager(const MetricsManager&) = delete;
    MetricsManager& operator=(const MetricsManager&) = delete;
    // Must not run while the manager is enabled: disable it first. After a Disable that returned
    // false, blocks until the background thread has ended, for as long as its consumer takes.
    ~MetricsManager();

    // Starts the background thread; does not block. Does nothing once shut down or when already
    // started. When the thread cannot be created, the exception (std::system_error,
    // std::bad_alloc) leaves Enable and the manager stays as it was: not running, so it may be
    // enabled again. Not from a consumer or a hook.
    void Enable();
    // Queues the shutdown event behind everything emitted so far, shuts the manager down for good
    // and blocks up to 1000 ms for the background thread; false when it did not end in time (it
    // then ends on its own once its consumer returns). Synchronous consumers receive the shutdown
    // event on the calling thread. Not from a consumer; from a hook only on a thread other than
    // the background thread.
    bool Disable();
    // True from Enable until the background thread has ended. Never blocks.
    bool IsRunning();

    // Filters, stamps and delivers one event; an empty pointer is ignored. Any thread, consumers
    // and hooks included. Synchronous consumers run before this returns, for as long as they take
    // (under the consumer read lock); asynchronous ones later, on the background thread: it never
    // waits for that thread. It returns only once the clock has moved past the event's stamp (at
    // once on a clock of 1 ns steps, up to one step on a coarser one), so that any event that
    // happens after it, on any thread, is stamped later and delivered later. An event of type
    // Shutdown is an event like any other: only Disable's own ends delivery. The event is queued
    // whole, by reference; the library lets go of it once delivered. A synchronous consumer's
    // exception that does not derive from std::exception leaves it; std::bad_alloc may (the
    // calling thread's buffer needed a new chunk and there was no memory), and the event is then
    // not queued.
    void EmitEvent(std::shared_ptr<MetricsEvent> event);
    // Blocks until every event emitted before the call has been handed to the asynchronous
    // consumers and the library holds it no more, or until the time runs out. Returns at once
    // when the manager is not running. Not from a consumer or a hook on the background thread:
    // the events it waits for could not move on until its time ran out.
    void WaitUntilWritesFlushed(unsigned int milliseconds);
    // How many emitted events the asynchronous consumers have not yet been handed: a figure for
    // health displays, exact only while nothing is emitted. Any thread, consumers and hooks
    // included; takes two internal locks briefly. 0 when the manager is not running.
    unsigned long long GetQueuedEventCount();

    // The one-time shutdown of the singleton (Disable under the instance lock); neither creates nor
    // deletes it. May block up to 1000 ms; must not be called from a consumer or a hook. Library
    // unload and process exit run it too. Never throws: a consumer's or hook's exception during
    // the shutdown is swallowed so that the shutdown completes.
    static void ShutdownAndFlush();
    // The same as ShutdownAndFlush, under its older name: the instance is not freed (consumers on
    // other threads may still reach it through GetInstance).
    static void ShutdownAndFreeInstance();

    // Registration works only while the manager runs, and not from inside a synchronous
    // consumer's OnEvent (refused with false: the consumer lock is held there); an empty listener
    // is refused too. Blocks while synchronous consumers run on other threads (it takes the
    // consumer lock exclusively). A consumer may be registered more than once: each registration
    // receives the events its mask takes. The new consumer receives events emitted after the call.
    bool AddConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener,
                     unsigned long long bits, bool synchronous);
    // Removes one registration of that object, a synchronous one first. Refused like AddConsumer.
    // Returns once the background thread neither runs the consumer nor holds it: it waits only
    // while the thread is calling that very consumer or has not yet looked at its next event
    // since (at most 1000 ms), never for other consumers. Called on the background thread (from an
    // asynchronous consumer, perhaps the one removed), it does not wait, and the consumer is let go
    // once its running call returns.
    bool RemoveConsumer(const RefCntPtr<IMetricsListener, RefCntObject>& listener);

    // The global category mask. Any thread; lock-free, never blocks. A change is seen by other
    // threads' emits soon after, not at once.
    unsigned long long GetBits();
    // Adds bits; returns the mask as it was before.
    unsigned long long SetBits(unsigned long long bits);
    void ClearBits(unsigned long long bits);
    void SetBitsAbsolute(unsigned long long bits);

    // Hooks. Any thread may install or replace one at any time, also while another thread is
    // calling the old one (which is destroyed once that call returns); an empty function removes
    // it. They run on the thread that triggers them: the logging and call-stack hooks on any thread
    // that logs (the background thread for its own lines), the queue-counter and thread-init hooks
    // on the background thread, where they should not block for long. A hook's exception leaves
    // the call that triggered it (Disable's own line: once the shutdown is complete), except on
    // the background thread, where it is caught and costs that one call. The thread-init hook runs
    // once, when the thread starts: install it before Enable to have it run.
    void SetLoggingFunction(LoggingFunction function);
    LoggingFunction GetLoggingFunction();
    void SetLogCallStackFunction(LogCallStackFunction function);
    LogCallStackFunction GetLogCallStackFunction();
    void SetQueueCounterUpdateFunction(std::function<void(int)> function);
    void SetThreadInitFunction(std::function<void()> function);
    // Hand a line to the logging or call-stack hook, on the calling thread; nothing when none is
    // installed, key is null (Log) or the manager is shut down.
    void Log(LogSeverity severity, const wchar_t* key, const TStringCore& message) const;
    void LogCallStack(const wchar_t* key) const;

    // The calling thread's context stack; use it only on that thread. After shutdown, a new empty
    // stack at every call.
    std::shared_ptr<MetricsThreadContext> GetThreadContext();
    // The id of the calling thread's current context, 0 when it has none.
    unsigned long long GetCurrentThreadContextId();
    // A new context id, from 1 upward; lock-free.
    unsigned long long GetNextContextId();
    // How an invalid cross-thread attach or detach of a Context is reported. Any thread; read at
    // each attach and detach.
    TLSDiagnosticType GetTLSDiagnosticType();
    void SetTLSDiagnosticType(TLSDiagnosticType type);

private:
    struct State;
    // The library's own front ends, which hand events over without the shared_ptr.
    friend class ManagerAccess;

    void BackgroundThreadProc();

    // The singleton; set once, never reset.
    static std::atomic<MetricsManager*> s_instance;

    // Read on every emit; relaxed, as hosts set it during start-up.
    std::atomic<unsigned long long> m_bits{0};
    std::unique_ptr<State> m_state;
};

// Whether an event with category mask bits would pass the manager's global gate. Any thread;
// creates the manager if there is none; never blocks once it exists.
QUILLMETRICS_API bool TestBits(unsigned long long bits);

}  // namespace Metrics
