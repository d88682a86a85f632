#include "quillsys/TEvent.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

struct TEvent::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;                                  // guarded by mutex
    std::map<void*, std::function<void()>> callbacks;  // guarded by mutex
};

IEvent::~IEvent() = default;

TEvent::TEvent(bool initiallySet)
    : m_state(std::make_unique<State>()) {
    m_state->set = initiallySet;
}

TEvent::~TEvent() = default;

void TEvent::Signal() const {
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->set = true;
        for (const auto& entry : m_state->callbacks) {
            callbacks.push_back(entry.second);
        }
    }
    m_state->changed.notify_all();
    // Outside the lock, so that a callback may use the event itself.
    for (const auto& callback : callbacks) {
        callback();
    }
}

bool TEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->set;
}

bool TEvent::Wait(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->changed.wait_for(lock, timeout, [this] { return m_state->set; });
}

bool TEvent::Wait() const {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->changed.wait(lock, [this] { return m_state->set; });
    return true;
}

void TEvent::Reset() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->set = false;
}

void TEvent::AddOnSignalCallback(void* key, std::function<void()> callback) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->callbacks[key] = std::move(callback);
}

void TEvent::RemoveOnSignalCallback(void* key) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->callbacks.erase(key);
}
