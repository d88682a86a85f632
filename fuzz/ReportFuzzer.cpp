// Runs arbitrary files through the report tool's reader, model and all three of its outputs:
// rows built from the fuzzer's bytes (arbitrary bytes in their values, quoted as the writer
// quotes), now and then cut or garbled. Each output must be valid UTF-8, the summary free of
// control characters a terminal obeys, the trace valid JSON.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/mman.h>

#include "EventFile.h"
#include "FuzzInput.h"
#include "ReportOutput.h"
#include "RunModel.h"
#include "Utf8.h"

using Metrics::Fuzz::Check;
using Metrics::Fuzz::Input;

namespace {

void AppendField(std::string& out, const std::string& value) {
    if (value.find_first_of(",\"\n\r") == std::string::npos) {
        out += value;
        return;
    }
    out += '"';
    for (const char c : value) {
        out += c == '\n' ? std::string("\"\"") : c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    out += '"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace Metrics::Report;
    // The types the model reads, and now and then one it does not know.
    constexpr int32_t kTypes[] = {2, 3, 4, 5, 6, 7, 8, 10, 12, 1, 99, -5};
    Input in{data, size};
    std::string text = (size & 8) != 0 ? "\xEF\xBB\xBF" : "";
    text += "timestamp,datetime,context_id,event_type,param1,param2\n";
    uint64_t timestamp = 0;
    for (size_t rows = 0; in.size > 0 && rows < 200; ++rows) {
        const int32_t type = kTypes[in.Byte() % (sizeof kTypes / sizeof kTypes[0])];
        const uint8_t context = in.Byte();
        timestamp += in.Byte();
        if (context == 0xFF) {
            text += in.Bytes(in.Byte() % 16);  // a garbled line
        } else {
            text += std::to_string(timestamp) + ",1.000000," + std::to_string(context % 5) + "," +
                    std::to_string(type) + ",";
            AppendField(text, in.Bytes(in.Byte() % 12));
            text += ',';
            AppendField(text, in.Bytes(in.Byte() % 12));
        }
        text += '\n';
    }
    if ((size & 1) != 0 && !text.empty()) {
        text.pop_back();  // the last line cut
    }
    const int fd = memfd_create("report-fuzz", 0);
    Check(fd >= 0);
    Check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    ModelBuilder builder(true);
    for (int file = 0; file < 1 + static_cast<int>((size & 4) / 4); ++file) {
        builder.BeginFile(path);
        try {
            builder.EndFile(
                ReadEventFile(path, [&builder](const EventRow& row) { builder.Add(row); }));
        } catch (const BadEventFile& e) {
            Check(std::string(e.what()).find(path) == 0);
            builder.EndFile(ReadSummary());
        }
    }
    close(fd);
    const RunModel model = builder.Finish();

    std::ostringstream summary;
    std::ostringstream trace;
    std::ostringstream page;
    SummaryOptions options;
    options.tree = (size & 2) != 0;
    PrintSummary(summary, model, options);
    WriteTrace(trace, model);
    WriteHtml(page, model);
    for (const std::ostringstream* out : {&summary, &trace, &page}) {
        Check(Metrics::ValidUtf8(out->str()) == out->str());
    }
    for (const char c : summary.str()) {
        Check(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t');
    }
    Check(nlohmann::json::accept(trace.str()));
    return 0;
}
