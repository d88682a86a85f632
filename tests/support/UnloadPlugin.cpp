// A plugin as a host would write one: it records through quillmetrics with a consumer whose code
// lives in the plugin, and it is unloaded after each use.

#include <atomic>

#include "quillmetrics/quillmetrics.h"

namespace {

class Counter : public Metrics::IMetricsListener {
public:
    void OnEvent(const Metrics::MetricsEvent& /*event*/) override { ++count; }
    std::atomic<int> count{0};
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int RunPluginScenario() {
    Metrics::MetricsManager& manager = Metrics::MetricsManager::GetInstance();
    manager.Enable();  // the first load starts the thread; later ones find it running
    manager.SetBits(~0ULL);
    const RefCntPtr<Counter, RefCntObject> counter(new Counter());
    const RefCntPtr<Metrics::IMetricsListener, RefCntObject> listener(counter);
    if (!manager.AddConsumer(listener, ~0ULL, false)) {
        return -1;
    }
    for (int i = 0; i < 10; ++i) {
        manager.EmitEvent(std::make_shared<Metrics::MetricsEvent>());
    }
    manager.WaitUntilWritesFlushed(30000);
    // The consumer's code goes away with the plugin: it must be out of the manager first.
    manager.RemoveConsumer(listener);
    return counter->count.load();
}
