#include "support/RecordingListener.h"

#include <sstream>

#include <gtest/gtest.h>

namespace Metrics::Testing {

void RecordingListener::OnEvent(const MetricsEvent& event) {
    std::function<void(const MetricsEvent&)> callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_threads.push_back(std::this_thread::get_id());
        callback = m_onEvent;
    }
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

std::vector<long long> RecordingListener::Tags() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<long long> tags;
    for (const auto& event : m_events) {
        tags.push_back(event.param2.m_int);
    }
    return tags;
}

std::vector<std::thread::id> RecordingListener::Threads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads;
}

size_t RecordingListener::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

void RecordingListener::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
    m_threads.clear();
}

void RecordingListener::SetOnEvent(std::function<void(const MetricsEvent&)> callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onEvent = std::move(callback);
}

void GateListener::OnEvent(const MetricsEvent& /*event*/) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_inside = true;
    m_changed.notify_all();
    m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_open; });
    m_inside = false;
}

void GateListener::WaitUntilInside() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_inside; });
}

bool GateListener::Inside() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inside;
}

void GateListener::Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
}

MetricsManager::LoggingFunction LogRecorder::Function() {
    return [shared = m_shared](MetricsManager::LogSeverity severity, const wchar_t* key,
                               const TStringCore& message) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(
            {severity, key, message.toStdString(), std::this_thread::get_id(), false});
    };
}

MetricsManager::LogCallStackFunction LogRecorder::CallStackFunction() {
    return [shared = m_shared](const wchar_t* key) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(
            {MetricsManager::LogSeverity::Warning, key, "", std::this_thread::get_id(), true});
    };
}

std::vector<LogLine> LogRecorder::Lines() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->lines;
}

std::vector<LogLine> LogRecorder::Reports() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    std::vector<LogLine> reports;
    for (const LogLine& line : m_shared->lines) {
        if (line.callStack || line.severity == MetricsManager::LogSeverity::Warning) {
            reports.push_back(line);
        }
    }
    return reports;
}

void LogRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->lines.clear();
}

namespace {

std::string Mark(const MetricsValue& value) {
    switch (value.m_type) {
        case MetricsValueType::String:
            return "s:" + (value.m_string ? *value.m_string : std::string("(null)"));
        case MetricsValueType::WString: {
            std::string text = "w:";
            for (const wchar_t c : value.m_wstring ? *value.m_wstring : std::wstring()) {
                text += c < 128 ? static_cast<char>(c) : '?';
            }
            return text;
        }
        case MetricsValueType::Int64:
            return "i:" + std::to_string(value.m_int);
        case MetricsValueType::Double: {
            std::ostringstream text;
            text << "d:" << value.m_double;
            return text.str();
        }
        case MetricsValueType::Bool:
            return value.m_bool ? "b:1" : "b:0";
    }
    return "?:" + std::to_string(static_cast<int>(value.m_type));
}

}  // namespace

std::string Row(const MetricsEvent& event) {
    const char* name = MetricsEventTypeName(event.eventType);
    std::string row = name != nullptr ? name : std::to_string(static_cast<int>(event.eventType));
    row += " " + Mark(event.param1) + " " + Mark(event.param2);
    if (!event.paramPairs.empty()) {
        row += " [";
        for (const auto& [key, value] : event.paramPairs) {
            row += (row.back() == '[' ? "" : " ") + Mark(key) + "=" + Mark(value);
        }
        row += "]";
    }
    return row;
}

std::vector<std::string> Rows(const std::vector<MetricsEvent>& events) {
    std::vector<std::string> rows;
    rows.reserve(events.size());
    for (const auto& event : events) {
        rows.push_back(Row(event));
    }
    return rows;
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

MetricsManager& StartManager(unsigned long long bits) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    manager.SetBits(bits);
    return manager;
}

RecordingListenerPtr Subscribe(bool synchronous, unsigned long long mask) {
    auto listener = MakeRecordingListener();
    EXPECT_TRUE(MetricsManager::GetInstance().AddConsumer(AsListener(listener), mask, synchronous))
        << "the manager refused a consumer";
    return listener;
}

std::shared_ptr<MetricsEvent> TaggedAttribute(unsigned long long bits, long long tag) {
    auto event = std::make_shared<MetricsEvent>();
    event->eventType = MetricsEventType::Attribute;
    event->bits = bits;
    event->param2 = MetricsValue(tag);
    return event;
}

}  // namespace Metrics::Testing
