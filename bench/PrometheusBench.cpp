// The Prometheus exporter's cost per delivered event, next to the CSV writer's.

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "quillmetrics/PrometheusExporter.h"

namespace Metrics::Bench {
namespace {

// A scope's open and close and a numeric attribute, in a context, as the background thread hands
// them over: each event updates a counter, and the close a histogram too.
void BM_PrometheusExporterEvent(benchmark::State& state) {
    const RefCntPtr<PrometheusExporter, RefCntObject> exporter(new PrometheusExporter());
    std::vector<MetricsEvent> events(3);
    for (MetricsEvent& event : events) {
        event.contextId = 42;
        event.bits = 0x4000000000;
        event.param1 = MetricsValue("query");
    }
    events[0].eventType = MetricsEventType::ScopeOpen;
    events[1].eventType = MetricsEventType::ScopeClose;
    events[2].eventType = MetricsEventType::Attribute;
    events[2].param2 = MetricsValue(12345);
    unsigned long long now = 0;
    for (auto _ : state) {
        for (MetricsEvent& event : events) {
            event.timestamp = now += 1000;
            exporter->OnEvent(event);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_PrometheusExporterEvent);

}  // namespace
}  // namespace Metrics::Bench
