#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "EventFile.h"
#include "RunModel.h"

namespace Metrics::Report {

struct SummaryOptions {
    // The whole context tree too, with long runs of siblings of one name folded.
    bool tree = false;
};

// Each output is valid UTF-8 whatever bytes the file's values hold.
void PrintSummary(std::ostream& out, const std::string& path, const EventFile& file,
                  const RunModel& model, const SummaryOptions& options);
// Trace-event JSON, for the Perfetto UI and chrome://tracing.
void WriteTrace(std::ostream& out, const RunModel& model);
// One self-contained page: the timeline, then the summary.
void WriteHtml(std::ostream& out, const std::string& path, const EventFile& file,
               const RunModel& model);

// Writes the file whole, or leaves whatever was there before; false (with a message on standard
// error) when it could not.
bool WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write);

}  // namespace Metrics::Report
