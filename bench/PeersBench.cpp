// Comparison rows measured in the same run: an asynchronous spdlog logger writing the same six
// fields, and an allocation-free per-thread ring that is the floor for handing an event over.

#include <array>
#include <atomic>
#include <chrono>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <benchmark/benchmark.h>

namespace {

void BM_PeerSpdlogAsync(benchmark::State& state) {
    static std::shared_ptr<spdlog::logger> logger;
    if (state.thread_index() == 0) {
        spdlog::init_thread_pool(1 << 16, 1);
        logger = spdlog::create_async_nb<spdlog::sinks::null_sink_mt>("bench");
        logger->set_pattern("%v");
    }
    const long long context = 42;
    for (auto _ : state) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        logger->info("{},{},{},{},{},{}", now, 1700000000.123456, context, 8, "rows", 12345);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        spdlog::drop("bench");
        logger.reset();
    }
}
BENCHMARK(BM_PeerSpdlogAsync)->Threads(1)->Threads(2)->UseRealTime();

// A per-thread ring of fixed records, each stamped with the same two clocks an event gets: no
// allocation and no shared cache line. Nothing consumes it: it bounds what any hand-off can cost.
void BM_FloorPerThreadRing(benchmark::State& state) {
    struct Record {
        long long timestamp;
        long long wallClock;
        long long context;
        int type;
        long long value;
    };
    thread_local std::array<Record, 4096> ring;
    thread_local std::atomic<size_t> head{0};
    for (auto _ : state) {
        const size_t slot = head.load(std::memory_order_relaxed);
        Record& record = ring[slot & 4095];
        record.timestamp = std::chrono::steady_clock::now().time_since_epoch().count();
        record.wallClock = std::chrono::system_clock::now().time_since_epoch().count();
        record.context = 42;
        record.type = 8;
        record.value = 12345;
        head.store(slot + 1, std::memory_order_release);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorPerThreadRing)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
