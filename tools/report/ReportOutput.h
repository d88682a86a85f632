#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "EventFile.h"
#include "RunModel.h"

namespace Metrics::Report {

struct SummaryOptions {
    // The whole context tree too, with long runs of siblings of one name folded.
    bool tree = false;
};

// One input file: its rows and its model.
struct LoadedRun {
    std::string path;
    EventFile file;
    RunModel model;
};

// The runs as one (see MergeModels).
RunModel MergedModel(const std::vector<LoadedRun>& runs);

// Each output is valid UTF-8 whatever bytes the file's values hold. Several runs are taken as
// the runs of as many processes: the summary and the page merge them (see MergeModels), the
// trace gives each its own process.
void PrintSummary(std::ostream& out, const std::vector<LoadedRun>& runs,
                  const SummaryOptions& options);
// Trace-event JSON, for the Perfetto UI and chrome://tracing.
void WriteTrace(std::ostream& out, const std::vector<LoadedRun>& runs);
// One self-contained page: the summary, then the timeline.
void WriteHtml(std::ostream& out, const std::vector<LoadedRun>& runs);

// Writes the file whole, or leaves whatever was there before; false (with a message on standard
// error) when it could not.
bool WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write);

}  // namespace Metrics::Report
