#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "RunModel.h"

namespace Metrics::Report {

struct SummaryOptions {
    // The whole context tree too, with long runs of siblings of one name folded.
    bool tree = false;
};

// Each output is valid UTF-8 whatever bytes the file's values hold, and the summary has no
// control character a terminal would obey. Several files are taken as the runs of as many
// processes: the summary merges them, the page gives each a section, the trace a process.
void PrintSummary(std::ostream& out, const RunModel& model, const SummaryOptions& options);
// Trace-event JSON, for the Perfetto UI and chrome://tracing.
void WriteTrace(std::ostream& out, const RunModel& model);
// One self-contained page: the summary, then the flame-chart timeline.
void WriteHtml(std::ostream& out, const RunModel& model);

// Writes the file whole beside its place, then renames it there, or leaves whatever was there
// before. On failure, error holds the reason the system gave.
bool WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write,
               std::string& error, uint64_t& size);

}  // namespace Metrics::Report
