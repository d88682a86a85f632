// The emit path as host call sites pay it: masked out, enabled without a context, and enabled with
// a consumer, on one and two threads.

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

namespace Metrics::Bench {
namespace {

// Each thread of a benchmark needs its own current context.
struct ThreadContext {
    ThreadContext()
        : context(0, Context::Create(true)) {
        context.OpenScope();
    }
    Context context;
};

void BM_ScopeMaskedOut(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    const ThreadContext thread;
    for (auto _ : state) {
        Scope scope("query", kNet);
        benchmark::DoNotOptimize(&scope);
    }
}
BENCHMARK(BM_ScopeMaskedOut);

void BM_AttributeMaskedOut(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    const ThreadContext thread;
    for (auto _ : state) {
        Attribute("rows", 42, kNet);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AttributeMaskedOut);

void BM_DialogMaskedOut(benchmark::State& state) {
    const Consumers consumers(0, false);
    const ThreadContext thread;
    for (auto _ : state) {
        ModalDialogMetrics dialog("Options");
        benchmark::DoNotOptimize(&dialog);
    }
}
BENCHMARK(BM_DialogMaskedOut);

void BM_ScopeNoContext(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    for (auto _ : state) {
        Scope scope("query", kSql);
        benchmark::DoNotOptimize(&scope);
    }
}
BENCHMARK(BM_ScopeNoContext);

void BM_AttributeNoContext(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    for (auto _ : state) {
        Attribute("rows", 42, kSql);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AttributeNoContext);

void BM_AttributeAsyncListener(benchmark::State& state) {
    static Consumers* consumers = nullptr;
    if (state.thread_index() == 0) {
        consumers = new Consumers(kSql, false);
    }
    const ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        Attribute("rows", 42, kSql);
    }
    state.SetItemsProcessed(state.iterations());
    faults.Report(state, state.iterations());
    if (state.thread_index() == 0) {
        delete consumers;
    }
}
BENCHMARK(BM_AttributeAsyncListener)->Threads(1)->Threads(2)->UseRealTime();

void BM_ScopeAsyncListener(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    const ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        Scope scope("query", kSql);
    }
    faults.Report(state, state.iterations());
}
BENCHMARK(BM_ScopeAsyncListener);

void BM_ScopeSyncListener(benchmark::State& state) {
    const Consumers consumers(kSql, true);
    const ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        Scope scope("query", kSql);
    }
    faults.Report(state, state.iterations());
}
BENCHMARK(BM_ScopeSyncListener);

void BM_ContextEmitAsyncListener(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        thread.context.Emit(MetricsValue("rows"), MetricsValue(42));
    }
    faults.Report(state, state.iterations());
}
BENCHMARK(BM_ContextEmitAsyncListener);

void BM_ContextLifecycleAsyncListener(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    const ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        Context child(thread.context.GetContextId(),
                      Context::Create(thread.context.GetContextId()));
    }
    faults.Report(state, state.iterations());
}
BENCHMARK(BM_ContextLifecycleAsyncListener);

void BM_DialogAsyncListener(benchmark::State& state) {
    const Consumers consumers(kSql, false);
    const ThreadContext thread;
    const PageFaults faults;
    for (auto _ : state) {
        ModalDialogMetrics dialog("Options");
    }
    faults.Report(state, state.iterations());
}
BENCHMARK(BM_DialogAsyncListener);

// Background delivery rate: a burst queued behind a held consumer, then timed from its release to
// the flush. The gate is the one consumer: once open, it does nothing with an event.
void BM_DeliveryToNullConsumer(benchmark::State& state) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(kSql);
    const RefCntPtr<Gate, RefCntObject> gate(new Gate());
    const RefCntPtr<IMetricsListener, RefCntObject> listener(gate);
    manager.AddConsumer(listener, ~0ULL, false);
    const ThreadContext thread;
    const auto burst = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        gate->Close();
        for (int i = 0; i < burst; ++i) {
            Attribute("rows", i, kSql);
        }
        state.ResumeTiming();
        gate->Open();
        manager.WaitUntilWritesFlushed(60000);
    }
    manager.RemoveConsumer(listener);
    manager.SetBitsAbsolute(0);
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_DeliveryToNullConsumer)->Arg(100000)->UseRealTime();

}  // namespace
}  // namespace Metrics::Bench
