// A host built only against the installed package: headers, both libraries and the CMake config.
#include <atomic>
#include <cstdio>
#include <quillmetrics/quillmetrics.h>

namespace {

class Counter : public Metrics::IMetricsListener {
public:
    void OnEvent(const Metrics::MetricsEvent& /*event*/) override { ++count; }
    std::atomic<int> count{0};
};

}  // namespace

int main() {
    Metrics::MetricsManager& manager = Metrics::MetricsManager::GetInstance();
    manager.Enable();
    manager.SetBits(Metrics::MetricsBitsUtils::GetMetricsBitsFromMnemonicList("all"));
    RefCntPtr<Counter, RefCntObject> counter(new Counter());
    if (!manager.AddConsumer(RefCntPtr<Metrics::IMetricsListener, RefCntObject>(counter), ~0ULL,
                             false)) {
        std::puts("AddConsumer refused");
        return 1;
    }
    Metrics::Context root(0, Metrics::Context::Create(true));
    {
        Metrics::Scope scope("work", Metrics::Category::Act);
        Metrics::Attribute("answer", 42, Metrics::Category::Act);
    }
    manager.WaitUntilWritesFlushed(5000);
    const int seen = counter->count.load();
    Metrics::MetricsManager::ShutdownAndFlush();
    std::printf("events delivered: %d\n", seen);
    return seen > 0 ? 0 : 1;
}
