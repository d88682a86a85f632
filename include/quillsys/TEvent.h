#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "quillsys/export.h"

// A waitable event. Thread-safe.
class QUILLSYS_API IEvent {
public:
    IEvent() = default;
    IEvent(const IEvent&) = delete;
    IEvent& operator=(const IEvent&) = delete;
    virtual ~IEvent();
    virtual void Signal() const = 0;
    virtual bool IsSet() const = 0;
    // True at once when the event is set; false when the time runs out first.
    virtual bool Wait(std::chrono::milliseconds timeout) const = 0;
    virtual bool Wait() const = 0;
    virtual void Reset() const = 0;
    // The callback runs on the signalling thread, with no lock of the event held.
    virtual void AddOnSignalCallback(void* key, std::function<void()> callback) const = 0;
    virtual void RemoveOnSignalCallback(void* key) const = 0;
};

// Manual-reset event: once signalled it stays set, releasing every waiter, until Reset.
// The constructor argument gives the initial state.
class QUILLSYS_API TEvent : public IEvent {
public:
    explicit TEvent(bool initiallySet);
    ~TEvent() override;
    void Signal() const override;
    bool IsSet() const override;
    bool Wait(std::chrono::milliseconds timeout) const override;
    bool Wait() const override;
    void Reset() const override;
    void AddOnSignalCallback(void* key, std::function<void()> callback) const override;
    void RemoveOnSignalCallback(void* key) const override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
