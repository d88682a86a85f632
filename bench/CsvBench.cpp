// The CSV writer alone, the raw client end to end, and the memory a queued event holds.

#include <malloc.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

namespace Metrics::Bench {
namespace {

std::string TempFile(const char* name) {
    return "/tmp/quillmetrics-bench-" + std::string(name) + "-" + std::to_string(getpid()) + ".csv";
}

MetricsEvent TypicalEvent() {
    MetricsEvent event;
    event.timestamp = 1234567890;
    event.datetimeSeconds = 1700000000;
    event.datetimeMicroseconds = 123456;
    event.contextId = 42;
    event.eventType = MetricsEventType::Attribute;
    event.param1 = MetricsValue("rows");
    event.param2 = MetricsValue(12345);
    return event;
}

// One line formatted and written, flushed per line, as the background thread does it.
void BM_CsvWriterLine(benchmark::State& state) {
    const std::string path = TempFile("writer");
    const RefCntPtr<MetricsRawClient::Listener, RefCntObject> listener(
        new MetricsRawClient::Listener(path));
    const MetricsEvent event = TypicalEvent();
    for (auto _ : state) {
        listener->OnEvent(event);
    }
    state.SetItemsProcessed(state.iterations());
    std::remove(path.c_str());
}
BENCHMARK(BM_CsvWriterLine);

// From the emit to the flushed line: the producer emits, the background thread writes, one write
// per line or, with -rawbatch (the second argument), one per delivered batch.
void BM_RawClientEndToEnd(benchmark::State& state) {
    const std::string path = TempFile("client");
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(0);
    MetricsRawClient client;
    client.SetOutputFileName(path);
    if (state.range(1) != 0) {
        client.ProcessArgument("-rawbatch");
    }
    client.SetBits("sql", true);
    if (!client.Open()) {
        state.SkipWithError("could not open the raw client");
        return;
    }
    const auto burst = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) {
            Attribute("rows", i, kSql);
        }
        manager.WaitUntilWritesFlushed(60000);
    }
    state.SetItemsProcessed(state.iterations() * burst);
    client.Close();
    manager.SetBitsAbsolute(0);
    std::remove(path.c_str());
}
BENCHMARK(BM_RawClientEndToEnd)->Args({10000, 0})->Args({10000, 1})->UseRealTime();

// Heap held per queued event while the consumer is stalled: the event, its name and the queue's
// own share.
void BM_QueuedEventBytes(benchmark::State& state) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(kSql);
    const RefCntPtr<Gate, RefCntObject> gate(new Gate());
    const RefCntPtr<IMetricsListener, RefCntObject> listener(gate);
    manager.AddConsumer(listener, ~0ULL, false);
    Context context(0, Context::Create(true));
    context.OpenScope();
    constexpr int kQueued = 200000;
    double bytesPerEvent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        gate->Close();
        const size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        for (int i = 0; i < kQueued; ++i) {
            Attribute("rows", i, kSql);
        }
        state.PauseTiming();
        const size_t after = mallinfo2().uordblks;
        bytesPerEvent = static_cast<double>(after - before) / kQueued;
        gate->Open();
        manager.WaitUntilWritesFlushed(60000);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kQueued);
    state.counters["bytes_per_queued_event"] = bytesPerEvent;
    state.counters["event_record_bytes"] = static_cast<double>(sizeof(MetricsEvent));
    manager.RemoveConsumer(listener);
    manager.SetBitsAbsolute(0);
}
BENCHMARK(BM_QueuedEventBytes)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace Metrics::Bench
