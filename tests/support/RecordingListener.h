#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "quillmetrics/quillmetrics.h"

namespace Metrics::Testing {

// A consumer that keeps a copy of every event it receives. Thread-safe.
class RecordingListener : public IMetricsListener {
public:
    void OnEvent(const MetricsEvent& event) override;

    std::vector<MetricsEvent> Events() const;
    std::vector<MetricsEventType> Types() const;
    size_t Count() const;
    // Waits until at least count events arrived; false when the deadline passes first.
    bool WaitForCount(size_t count,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    void Clear();
    // Runs inside OnEvent, after the event is recorded.
    void SetOnEvent(std::function<void(const MetricsEvent&)> callback);

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<MetricsEvent> m_events;                  // guarded by m_mutex
    std::function<void(const MetricsEvent&)> m_onEvent;  // guarded by m_mutex
};

using RecordingListenerPtr = RefCntPtr<RecordingListener, RefCntObject>;

inline RecordingListenerPtr MakeRecordingListener() {
    return RecordingListenerPtr(new RecordingListener());
}

inline RefCntPtr<IMetricsListener, RefCntObject> AsListener(const RecordingListenerPtr& listener) {
    return RefCntPtr<IMetricsListener, RefCntObject>(listener);
}

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
