#pragma once

// The test programs take the standard headers they share from here.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quillmetrics/quillmetrics.h"

namespace Metrics::Testing {

std::vector<std::string> Rows(const std::vector<MetricsEvent>& events);

// A consumer that keeps a copy of every event it receives. Thread-safe.
class RecordingListener : public IMetricsListener {
public:
    void OnEvent(const MetricsEvent& event) override;

    std::vector<MetricsEvent> Events() const;
    std::vector<std::string> Rows() const { return Testing::Rows(Events()); }
    std::vector<MetricsEventType> Types() const;
    // The integer in each event's param2: how the tests tag their events.
    std::vector<long long> Tags() const;
    // The thread that delivered each event.
    std::vector<std::thread::id> Threads() const;
    size_t Count() const;
    void Clear();
    // Runs inside OnEvent, after the event is recorded.
    void SetOnEvent(std::function<void(const MetricsEvent&)> callback);

private:
    mutable std::mutex m_mutex;
    std::vector<MetricsEvent> m_events;                  // guarded by m_mutex
    std::vector<std::thread::id> m_threads;              // guarded by m_mutex
    std::function<void(const MetricsEvent&)> m_onEvent;  // guarded by m_mutex
};

using RecordingListenerPtr = RefCntPtr<RecordingListener, RefCntObject>;

// Holds whichever thread calls OnEvent inside it until Open is called; from then on lets every
// call through.
class GateListener : public IMetricsListener {
public:
    void OnEvent(const MetricsEvent& event) override;
    // Waits (up to 30 s) until a call is held inside.
    void WaitUntilInside();
    bool Inside();
    void Open();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_inside = false;  // guarded by m_mutex
    bool m_open = false;    // guarded by m_mutex
};

using GatePtr = RefCntPtr<GateListener, RefCntObject>;

// Collects what reaches the logging and call-stack hooks, from any thread, in order.
struct LogLine {
    MetricsManager::LogSeverity severity;
    std::wstring key;
    std::string message;  // empty for a call stack
    std::thread::id thread;
    bool callStack;
};

// The hooks it hands out share its lines rather than point at it: a hook that another thread is
// still calling when it is replaced (which the manager allows) may outlive the recorder.
class LogRecorder {
public:
    MetricsManager::LoggingFunction Function();
    MetricsManager::LogCallStackFunction CallStackFunction();
    std::vector<LogLine> Lines() const;
    // The warnings and the call stacks: how invalid context use is reported.
    std::vector<LogLine> Reports() const;
    void Clear();

private:
    struct Shared {
        std::mutex mutex;
        std::vector<LogLine> lines;  // guarded by mutex
    };
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};

using ListenerPtr = RefCntPtr<IMetricsListener, RefCntObject>;

// A consumer made of functions: what it does with each event, and what its destructor does.
class CallbackListener : public IMetricsListener {
public:
    explicit CallbackListener(std::function<void(const MetricsEvent&)> onEvent,
                              std::function<void()> onDestroy = nullptr)
        : m_onEvent(std::move(onEvent))
        , m_onDestroy(std::move(onDestroy)) {}
    CallbackListener(const CallbackListener&) = delete;
    CallbackListener& operator=(const CallbackListener&) = delete;
    ~CallbackListener() override {
        if (m_onDestroy) {
            m_onDestroy();
        }
    }
    void OnEvent(const MetricsEvent& event) override {
        if (m_onEvent) {
            m_onEvent(event);
        }
    }

private:
    std::function<void(const MetricsEvent&)> m_onEvent;
    std::function<void()> m_onDestroy;
};

inline ListenerPtr Callback(std::function<void(const MetricsEvent&)> onEvent,
                            std::function<void()> onDestroy = nullptr) {
    return ListenerPtr(new CallbackListener(std::move(onEvent), std::move(onDestroy)));
}

// Runs body(0) to body(count - 1), each on a thread of its own, and returns once all have ended.
inline void RunThreads(size_t count, const std::function<void(size_t)>& body) {
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        threads.emplace_back(body, i);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

template <typename Listener>
RefCntPtr<IMetricsListener, RefCntObject> AsListener(
    const RefCntPtr<Listener, RefCntObject>& listener) {
    return RefCntPtr<IMetricsListener, RefCntObject>(listener);
}

inline RecordingListenerPtr MakeRecordingListener() {
    return RecordingListenerPtr(new RecordingListener());
}

// Enables the manager and sets its mask: how most tests begin.
MetricsManager& StartManager(unsigned long long bits = ~0ULL);

// A new recorder registered with the manager; the test fails if the manager refuses it.
RecordingListenerPtr Subscribe(bool synchronous, unsigned long long mask = ~0ULL);

// An attribute event with the given bits, told apart from others by the integer in param2.
std::shared_ptr<MetricsEvent> TaggedAttribute(unsigned long long bits, long long tag = 0);

// An event as one line: its type's name (or number), then each value marked with its kind
// ("s:" text, "w:" wide text with non-ASCII as '?', "i:" integer, "d:" double, "b:" bool), then
// its pairs in brackets: "ScopeEmit s:rows i:12 [s:k=b:1]".
std::string Row(const MetricsEvent& event);

// Text of a String value, or "" for any other kind.
std::string Text(const MetricsValue& value);

// The events of the given types only.
std::vector<MetricsEvent> OfType(const std::vector<MetricsEvent>& events, MetricsEventType type);

}  // namespace Metrics::Testing

#include <gtest/gtest.h>

namespace Metrics::Testing {

// A test that runs the manager and records every event it lets through, synchronously, in
// m_events. The manager's mask is left to the test.
class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        MetricsManager& manager = MetricsManager::GetInstance();
        manager.Enable();
        ASSERT_TRUE(manager.AddConsumer(AsListener(m_events), ~0ULL, true));
    }
    static unsigned long long Current() {
        return MetricsManager::GetInstance().GetCurrentThreadContextId();
    }

    RecordingListenerPtr m_events = MakeRecordingListener();
};

}  // namespace Metrics::Testing
