#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include "quillmetrics/quillmetrics.h"

namespace Metrics::Bench {

// A consumer that only counts, so that a benchmark measures the library and not the consumer.
class NullListener : public IMetricsListener {
public:
    // One thread calls it at a time (the background thread, or the one emitting thread of a
    // synchronous row): a plain count, no locked instruction.
    void OnEvent(const MetricsEvent& /*event*/) override {
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    std::atomic<long long> count{0};
};

// An asynchronous consumer that holds the background thread inside the event whose first value is
// "stall" until it is opened, so that a benchmark can queue a backlog behind it.
class Gate : public IMetricsListener {
public:
    void OnEvent(const MetricsEvent& event) override {
        // Armed only between Close and the marker's arrival: otherwise it costs the delivery rows
        // no more than a null consumer.
        if (!m_armed.load(std::memory_order_acquire) ||
            event.param1.m_type != MetricsValueType::String || *event.param1.m_string != "stall") {
            return;
        }
        m_armed.store(false, std::memory_order_relaxed);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    // Emits the marker and returns once the background thread is held inside it.
    void Close();
    void Open();

private:
    std::atomic<bool> m_armed{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_open = false;
};

// Registers a null consumer for the life of the object and sets the manager's mask.
class Consumers {
public:
    Consumers(unsigned long long mask, bool synchronous);
    Consumers(const Consumers&) = delete;
    Consumers& operator=(const Consumers&) = delete;
    ~Consumers();
    long long Delivered() const { return m_listener->count.load(); }

private:
    RefCntPtr<NullListener, RefCntObject> m_listener;
};

// Page faults of the whole process (the emitting threads and the background thread) while a
// benchmark's loop runs, reported per million items: an emit that writes only into memory it
// touched before takes none once its buffer has grown to what the load needs.
class PageFaults {
public:
    PageFaults() noexcept
        : m_start(Count()) {}
    // From the benchmark's first thread only, since counters add up across threads.
    void Report(benchmark::State& state, long long items) const {
        if (state.thread_index() == 0 && items > 0) {
            state.counters["faults_per_M"] =
                static_cast<double>(Count() - m_start) * 1e6 / static_cast<double>(items);
        }
    }

private:
    static long long Count() noexcept {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt + usage.ru_majflt;
    }
    long long m_start;
};

// The bits every enabled benchmark uses ("sql").
constexpr unsigned long long kSql = 0x4000000000ULL;
// A category the manager's mask leaves out ("net").
constexpr unsigned long long kNet = 0x40000000ULL;

}  // namespace Metrics::Bench
