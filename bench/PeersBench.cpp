// Comparison rows measured in the same run: an asynchronous spdlog logger writing the same six
// fields; an allocation-free per-thread ring that is the floor for handing an event over (one
// record, and two for a scope); and to_chars with one write(2) per line, the floor of the CSV
// writer.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <string>

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
inline void WriteRingRecord(int type, long long value) {
    struct Record {
        long long timestamp;
        long long wallClock;
        long long context;
        int type;
        long long value;
    };
    thread_local std::array<Record, 4096> ring;
    thread_local std::atomic<size_t> head{0};
    const size_t slot = head.load(std::memory_order_relaxed);
    Record& record = ring[slot & 4095];
    record.timestamp = std::chrono::steady_clock::now().time_since_epoch().count();
    record.wallClock = std::chrono::system_clock::now().time_since_epoch().count();
    record.context = 42;
    record.type = type;
    record.value = value;
    head.store(slot + 1, std::memory_order_release);
}

void BM_FloorPerThreadRing(benchmark::State& state) {
    for (auto _ : state) {
        WriteRingRecord(8, 12345);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorPerThreadRing)->Threads(1)->Threads(2)->UseRealTime();

// Two such records: the floor of a scope's open and close.
void BM_FloorTwoRingRecords(benchmark::State& state) {
    for (auto _ : state) {
        WriteRingRecord(5, 0);
        WriteRingRecord(6, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorTwoRingRecords)->UseRealTime();

// The six fields of a typical event formatted with to_chars and written with one write(2) per
// line: the floor of a CSV writer that loses nothing it was handed.
void BM_FloorCsvLineWrite(benchmark::State& state) {
    const std::string path = "/tmp/quillmetrics-bench-floor-" + std::to_string(getpid()) + ".csv";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        state.SkipWithError("could not open the file");
        return;
    }
    char line[128];
    unsigned long long timestamp = 1234567890;
    for (auto _ : state) {
        size_t used = 0;
        const auto number = [&](unsigned long long value) {
            used = static_cast<size_t>(std::to_chars(line + used, line + sizeof(line), value).ptr -
                                       line);
        };
        const auto text = [&](const char* part, size_t length) {
            if (used + length <= sizeof(line)) {
                std::memcpy(line + used, part, length);
                used += length;
            }
        };
        number(++timestamp);
        text(",", 1);
        number(1700000000);
        text(".", 1);
        number(123456);
        text(",", 1);
        number(42);
        text(",8,rows,", 8);
        number(12345);
        text("\n", 1);
        if (write(fd, line, used) < 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
    std::remove(path.c_str());
}
BENCHMARK(BM_FloorCsvLineWrite);

}  // namespace
