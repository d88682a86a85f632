// One benchmark program: the manager is enabled once for the process, and each benchmark sets the
// mask and consumers it needs.

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
    Metrics::MetricsManager::GetInstance().Enable();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Metrics::MetricsManager::ShutdownAndFlush();
    return 0;
}
