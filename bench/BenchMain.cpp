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
