// A plugin as a host would write one: it records through quillmetrics with a consumer whose code
// lives in the plugin, and it is unloaded after each use.

#include <atomic>
#include <string>

#include "quillmetrics/quillmetrics.h"

#if defined(_WIN32)
#define PLUGIN_API extern "C" __declspec(dllexport)
#else
#define PLUGIN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

class Counter : public Metrics::IMetricsListener {
public:
    void OnEvent(const Metrics::MetricsEvent& /*event*/) override { ++count; }
    std::atomic<int> count{0};
};

}  // namespace

PLUGIN_API int RunPluginScenario() {
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

// Leaves per-thread state on the calling thread without starting the manager.
PLUGIN_API unsigned long long UseContextsWithoutEnabling() {
    const Metrics::Context context(0, Metrics::Context::Create(true));
    return Metrics::MetricsManager::GetInstance().GetCurrentThreadContextId();
}

// Never closed nor destroyed: the process's exit alone must deliver what it recorded.
Metrics::MetricsRawClient* g_leftOpen = nullptr;

// Records to a CSV file and leaves the rest to the process's exit.
PLUGIN_API bool RecordAndLeave(const char* path, int events) {
    Metrics::MetricsManager::GetInstance().Enable();
    auto* client = g_leftOpen = new Metrics::MetricsRawClient();
    client->SetOutputFileName(path);
    client->SetBits("all", true);
    if (!client->Open()) {
        return false;
    }
    for (int i = 0; i < events; ++i) {
        Metrics::Attribute("exit-test", i, 0);
    }
    return true;
}
