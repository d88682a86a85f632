// A host that links the installed exporter as well.
#include <cstdio>
#include <quillmetrics/PrometheusExporter.h>
#include <quillmetrics/quillmetrics.h>

int main() {
    Metrics::MetricsManager& manager = Metrics::MetricsManager::GetInstance();
    manager.Enable();
    manager.SetBits(Metrics::MetricsBitsUtils::GetMetricsBitsFromMnemonicList("all"));
    const RefCntPtr<Metrics::PrometheusExporter, RefCntObject> exporter(
        new Metrics::PrometheusExporter());
    manager.AddConsumer(RefCntPtr<Metrics::IMetricsListener, RefCntObject>(exporter),
                        Metrics::kCategoryMask, false);
    {
        const Metrics::Context root(0, Metrics::Context::Create(true));
        const Metrics::Scope scope("work", Metrics::Category::Act);
    }
    manager.WaitUntilWritesFlushed(5000);
    const std::string text = exporter->Render();
    Metrics::MetricsManager::ShutdownAndFlush();
    const bool found =
        text.find("quillmetrics_scope_duration_seconds_count{scope=\"work\"") != std::string::npos;
    std::puts(found ? "scope served" : text.c_str());
    return found ? 0 : 1;
}
