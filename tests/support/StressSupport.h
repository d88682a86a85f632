#pragma once

// What the stress tests share: events tagged with (producer, sequence), and a consumer that checks
// loss, duplication and order of the tags it receives exactly.

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "support/RecordingListener.h"

namespace Metrics::Testing {

constexpr unsigned long long kBits = 0x10000;
// A type of the tests' own, so that the library's events never pass for tagged ones.
constexpr auto kTagged = static_cast<MetricsEventType>(100);

inline std::shared_ptr<MetricsEvent> Tagged(size_t producer, long long sequence) {
    auto event = std::make_shared<MetricsEvent>();
    event->eventType = kTagged;
    event->bits = kBits;
    event->subjectId = producer;
    event->param2 = MetricsValue(sequence);
    return event;
}

// Checks the (producer, sequence) tags it receives. Strict: every event once and in order per
// producer. Otherwise: a duplicate-free, in-order subsequence. Each producer's slot is touched by
// one thread at a time: the producer's own for synchronous delivery, the background thread's else.
class SequenceChecker : public IMetricsListener {
public:
    SequenceChecker(size_t producers, bool strict)
        : m_next(producers)
        , m_strict(strict) {}
    SequenceChecker(const SequenceChecker&) = delete;
    SequenceChecker& operator=(const SequenceChecker&) = delete;
    ~SequenceChecker() override = default;

    void OnEvent(const MetricsEvent& event) override {
        if (m_removed.load()) {
            ++m_errors;  // called after its removal had returned
            return;
        }
        if (event.eventType == MetricsEventType::Shutdown) {
            ++m_shutdowns;
            return;
        }
        if (event.eventType != kTagged || event.subjectId >= m_next.size()) {
            return;
        }
        auto& next = m_next[event.subjectId];
        const long long expected = next.load(std::memory_order_relaxed);
        const long long got = event.param2.m_int;
        if (m_strict ? got != expected : got < expected) {
            ++m_errors;
        }
        next.store(got + 1, std::memory_order_release);
        ++m_total;
    }

    // Once its removal has returned: any event it receives from then on is an error.
    void Removed() { m_removed = true; }

    long long Next(size_t producer) const {
        return m_next[producer].load(std::memory_order_acquire);
    }
    long long Errors() const { return m_errors.load(); }
    long long Total() const { return m_total.load(); }
    int Shutdowns() const { return m_shutdowns.load(); }

private:
    std::vector<std::atomic<long long>> m_next;
    bool m_strict;
    std::atomic<long long> m_errors{0};
    std::atomic<long long> m_total{0};
    std::atomic<int> m_shutdowns{0};
    std::atomic<bool> m_removed{false};
};

using CheckerPtr = RefCntPtr<SequenceChecker, RefCntObject>;

// A new checker registered with the manager; the test fails if the manager refuses it.
inline CheckerPtr Check(size_t producers, bool strict, bool synchronous,
                        unsigned long long mask = ~0ULL) {
    const CheckerPtr checker(new SequenceChecker(producers, strict));
    EXPECT_TRUE(MetricsManager::GetInstance().AddConsumer(ListenerPtr(checker), mask, synchronous))
        << "the manager refused a consumer";
    return checker;
}

// Whether the tests run under a sanitizer that makes them several times slower.
constexpr bool kSanitized =
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// Two threads take turns emitting Tagged(side, i) for i from 0 to turns - 1, side being i's
// parity: each emits only after seeing the other's last emit return, so every event happens after
// the one before it although the threads alternate. Returns once both threads have ended.
inline void TakeTurns(long long turns) {
    MetricsManager& manager = MetricsManager::GetInstance();
    std::atomic<long long> turn{0};
    const auto player = [&](size_t side) {
        for (auto i = static_cast<long long>(side); i < turns; i += 2) {
            while (turn.load(std::memory_order_acquire) != i) {
                std::this_thread::yield();
            }
            manager.EmitEvent(Tagged(side, i));
            turn.store(i + 1, std::memory_order_release);
        }
    };
    RunThreads(2, player);
}

// The seed a child process was given, 1 when none.
inline unsigned Seed() {
    const char* seed = std::getenv("QUILLMETRICS_STRESS_SEED");  // NOLINT(concurrency-mt-unsafe)
    return seed == nullptr ? 1U : static_cast<unsigned>(std::strtoul(seed, nullptr, 10));
}

}  // namespace Metrics::Testing
