#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "RunModel.h"

namespace Metrics::Report {

// One scope name in both runs: its statistics in each, and how much slower (positive) or faster
// (negative) its median and 95th percentile became, in percent. A percentile that grew from zero
// is infinitely slower.
struct ScopeChange {
    std::string name;
    DurationStats base;
    DurationStats now;
    double p50Change = 0;
    double p95Change = 0;
    double Worst() const { return p50Change > p95Change ? p50Change : p95Change; }
};

struct RunDiff {
    std::vector<ScopeChange> common;  // the largest regression first
    std::vector<std::string> onlyInBase;
    std::vector<std::string> onlyInNew;
};

RunDiff DiffRuns(const RunModel& base, const RunModel& now);
// Whether some scope's p50 or p95 got slower by more than percent.
bool RegressedAbove(const RunDiff& diff, double percent);

void PrintDiff(std::ostream& out, const std::string& basePath, const std::string& newPath,
               const RunDiff& diff);
// The same as one self-contained page.
void WriteDiffHtml(std::ostream& out, const std::string& basePath, const std::string& newPath,
                   const RunDiff& diff);

}  // namespace Metrics::Report
