#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// The hand-off from emitting threads to the background thread.
//
// Each producer thread pushes onto a stack of its own, so producers share no cache line. The
// background thread works in rounds: it advances a round number, then takes every stack. A
// producer tags each event with the round number it reads just before pushing, and a round
// delivers only events tagged with an earlier round: an event tagged so was pushed before the
// round began, so everything that happened before it has been pushed too. Within a round the
// stacks are merged by (tag, stamp), which keeps each thread's order and puts an event after any
// event that happened before it on another thread: an emit returns only once the clock has moved
// past its stamp, so no two events ordered by the host share a stamp, however coarse the clock.
// Delivered events go back to the thread that made them, which frees them at its next emit:
// allocation and release stay on one thread.
class EventQueue {
public:
    struct Node;
    struct Producer;

    EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    ~EventQueue();

    // Any thread. The event must be stamped; stop marks the manager's own shutdown event. May
    // throw std::bad_alloc; the event is then not queued.
    void Push(std::shared_ptr<MetricsEvent> event, bool stop = false);
    // Any thread: how many events have been pushed so far (at least every push that finished
    // before the call).
    unsigned long long PushedCount();

    // Background thread only. Fills batch with what can be delivered now, in delivery order, and
    // says whether events are held back for the next round.
    void TakeRound(std::vector<Node*>& batch, bool& more);
    // Background thread only. Hands a delivered batch back to the threads that made its events.
    void Release(std::vector<Node*>& batch);
    // Background thread only, when a round found nothing: frees what quiet threads left waiting.
    void ReleaseIdle();

    // Makes the per-thread slot that every queue's producers live in. Whatever calls this during
    // its own construction is destroyed before the slot: the one-time shutdown at unload pushes
    // through it.
    static void CreateThreadSlot();

    static const std::shared_ptr<MetricsEvent>& EventOf(const Node* node);
    static bool IsStop(const Node* node);

private:
    Producer& ThisThreadProducer();

    // Written by the background thread only, once per round; read by every push.
    alignas(64) std::atomic<unsigned long long> m_round{1};
    std::mutex m_registryMutex;
    std::vector<std::shared_ptr<Producer>> m_producers;  // guarded by m_registryMutex
    unsigned long long m_retiredPushed = 0;              // guarded by m_registryMutex
    // For pushes from a thread whose own producer is already gone (thread-exit destructors).
    std::shared_ptr<Producer> m_shared;
    // Background thread only: the producers of the current round.
    std::vector<Producer*> m_roundProducers;
};

}  // namespace Metrics
