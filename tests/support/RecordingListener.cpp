#include "support/RecordingListener.h"

namespace Metrics::Testing {

void RecordingListener::OnEvent(const MetricsEvent& event) {
    std::function<void(const MetricsEvent&)> callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        callback = m_onEvent;
    }
    m_arrived.notify_all();
    if (callback) {
        callback(event);
    }
}

std::vector<MetricsEvent> RecordingListener::Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::vector<MetricsEventType> RecordingListener::Types() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<MetricsEventType> types;
    for (const auto& event : m_events) {
        types.push_back(event.eventType);
    }
    return types;
}

size_t RecordingListener::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

bool RecordingListener::WaitForCount(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, deadline, [&] { return m_events.size() >= count; });
}

void RecordingListener::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

void RecordingListener::SetOnEvent(std::function<void(const MetricsEvent&)> callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onEvent = std::move(callback);
}

std::string Text(const MetricsValue& value) {
    return value.m_type == MetricsValueType::String && value.m_string ? *value.m_string : "";
}

std::vector<MetricsEvent> OfType(const std::vector<MetricsEvent>& events, MetricsEventType type) {
    std::vector<MetricsEvent> result;
    for (const auto& event : events) {
        if (event.eventType == type) {
            result.push_back(event);
        }
    }
    return result;
}

}  // namespace Metrics::Testing
