// One benchmark program: the manager is enabled once for the process, and each benchmark sets the
// mask and consumers it needs.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

namespace Metrics::Bench {

Consumers::Consumers(unsigned long long mask, bool synchronous)
    : m_listener(new NullListener()) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(mask);
    manager.AddConsumer(RefCntPtr<IMetricsListener, RefCntObject>(m_listener), ~0ULL, synchronous);
}

void Gate::Close() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_entered = false;
    m_open = false;
    lock.unlock();
    m_armed.store(true, std::memory_order_release);
    Attribute("stall", 0, kSql);
    MetricsManager::GetInstance().WaitUntilWritesFlushed(0);  // wakes the thread
    lock.lock();
    m_changed.wait(lock, [this] { return m_entered; });
}

void Gate::Open() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
    }
    m_changed.notify_all();
}

Consumers::~Consumers() {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.WaitUntilWritesFlushed(60000);
    manager.RemoveConsumer(RefCntPtr<IMetricsListener, RefCntObject>(m_listener));
    manager.SetBitsAbsolute(0);
}

}  // namespace Metrics::Bench

int main(int argc, char** argv) {
    Metrics::MetricsManager& manager = Metrics::MetricsManager::GetInstance();
    // The clock the library stamps with, from its log: it says when it takes the cycle counter
    // (once it has measured the counter's rate) and when it gives it up.
    auto clock = std::make_shared<std::atomic<bool>>(false);
    manager.SetLoggingFunction(
        [clock](Metrics::MetricsManager::LogSeverity, const wchar_t*, const TStringCore& message) {
            const std::wstring& text = message.wstring();
            if (text.find(L"cycle counter") != std::wstring::npos) {
                const bool counter =
                    text.find(L"stamping with the cycle counter") != std::wstring::npos;
                if (clock->exchange(counter) && !counter) {
                    // Rows after this line ran on the system clock: the table's label would lie.
                    std::fprintf(stderr, "bench: %ls\n", text.c_str());
                }
            }
        });
    manager.Enable();
    for (int i = 0; i < 20; ++i) {  // the rate is measured over a few milliseconds
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        manager.WaitUntilWritesFlushed(1000);
    }
    benchmark::AddCustomContext("clock", clock->load() ? "cycle counter" : "system clock");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Metrics::MetricsManager::ShutdownAndFlush();
    return 0;
}
