// Runs arbitrary event rows, with arbitrary bytes in their values, through the report tool's
// model and all three of its outputs: each must be valid UTF-8, and the trace valid JSON.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "EventFile.h"
#include "FuzzInput.h"
#include "ReportOutput.h"
#include "RunModel.h"
#include "Utf8.h"

using Metrics::Fuzz::Check;
using Metrics::Fuzz::Input;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace Metrics::Report;
    // The types the model reads, and now and then one it does not know.
    constexpr int32_t kTypes[] = {2, 3, 4, 5, 6, 7, 8, 10, 12, 1, 99, -5};
    Input in{data, size};
    EventFile file;
    uint64_t timestamp = 0;
    while (in.size > 0 && file.rows.size() < 200) {
        EventRow row;
        row.line = file.rows.size() + 2;
        row.type = kTypes[in.Byte() % (sizeof kTypes / sizeof kTypes[0])];
        row.contextId = in.Byte() % 4;
        timestamp += in.Byte();
        row.timestamp = timestamp;
        row.datetime = "1.000000";
        row.param1 = in.Bytes(in.Byte() % 12);
        row.param2 = in.Bytes(in.Byte() % 12);
        file.rows.push_back(std::move(row));
    }
    file.lastLineCut = (size & 1) != 0;
    std::vector<LoadedRun> runs(1 + (size & 4) / 4);
    for (LoadedRun& run : runs) {
        run.path = "fuzz.csv";
        run.file = file;
        run.model = BuildModel(file);
    }

    std::ostringstream summary;
    std::ostringstream trace;
    std::ostringstream page;
    SummaryOptions options;
    options.tree = (size & 2) != 0;
    PrintSummary(summary, runs, options);
    WriteTrace(trace, runs);
    WriteHtml(page, runs);
    for (const std::ostringstream* out : {&summary, &trace, &page}) {
        Check(Metrics::ValidUtf8(out->str()) == out->str());
    }
    Check(nlohmann::json::accept(trace.str()));
    return 0;
}
