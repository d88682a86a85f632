// The report tool against its floors, on the CSV file named by QUILLMETRICS_BENCH_CSV
// (scripts/bench records one of 2.6 M events): a plain loop that splits the file into lines and
// fields, then the tool's reading and summary of the same file. And the escaping of a long hostile
// name for a page's script, which must stay linear in its length.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "EventFile.h"
#include "ReportOutput.h"
#include "ReportText.h"
#include "RunModel.h"

namespace {

const char* BenchFile(benchmark::State& state) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any benchmark thread exists
    const char* path = std::getenv("QUILLMETRICS_BENCH_CSV");
    if (path == nullptr) {
        state.SkipWithError("QUILLMETRICS_BENCH_CSV names no file");
    }
    return path;
}

void BM_FloorSplitCsvFile(benchmark::State& state) {
    const char* path = BenchFile(state);
    std::vector<char> buffer(size_t{1} << 20);
    std::vector<std::string_view> fields;
    for (auto _ : state) {
        if (path == nullptr) {
            break;
        }
        const int fd = ::open(path, O_RDONLY);
        size_t lines = 0;
        size_t kept = 0;
        ssize_t got = 0;
        while ((got = ::read(fd, buffer.data() + kept, buffer.size() - kept)) > 0) {
            const char* data = buffer.data();
            const size_t size = kept + static_cast<size_t>(got);
            size_t start = 0;
            for (const char* nl = nullptr;
                 (nl = static_cast<const char*>(std::memchr(data + start, '\n', size - start)));) {
                const std::string_view line(data + start, static_cast<size_t>(nl - data) - start);
                fields.clear();
                for (size_t at = 0;;) {
                    const size_t comma = line.find(',', at);
                    fields.push_back(line.substr(at, comma - at));
                    if (comma == std::string_view::npos) {
                        break;
                    }
                    at = comma + 1;
                }
                benchmark::DoNotOptimize(fields.data());
                ++lines;
                start = static_cast<size_t>(nl - data) + 1;
            }
            kept = size - start;
            std::memmove(buffer.data(), data + start, kept);
        }
        ::close(fd);
        state.counters["lines"] = static_cast<double>(lines);
    }
}
BENCHMARK(BM_FloorSplitCsvFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReportSummaryFile(benchmark::State& state) {
    const char* path = BenchFile(state);
    for (auto _ : state) {
        if (path == nullptr) {
            break;
        }
        Metrics::Report::ModelBuilder builder(false);
        builder.BeginFile(path);
        builder.EndFile(Metrics::Report::ReadEventFile(
            path, [&builder](const Metrics::Report::EventRow& row) { builder.Add(row); }));
        const Metrics::Report::RunModel model = builder.Finish();
        std::ostringstream out;
        Metrics::Report::PrintSummary(out, model, Metrics::Report::SummaryOptions());
        benchmark::DoNotOptimize(out.str().data());
    }
}
BENCHMARK(BM_ReportSummaryFile)->Unit(benchmark::kMillisecond)->Iterations(3);

// A name of "</" repeated, escaped for a page: time per byte stays the same from 1 to 4 MiB.
void BM_ReportEscapeLongName(benchmark::State& state) {
    std::string name;
    for (int64_t i = 0; i < state.range(0) / 2; ++i) {
        name += "</";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(Metrics::Report::JsonQuoted(name).data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReportEscapeLongName)->Arg(1 << 20)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
