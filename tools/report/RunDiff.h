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
    std::string basePath;
    std::string newPath;
    std::vector<ScopeChange> common;  // the largest regression first
    std::vector<std::string> onlyInBase;
    std::vector<std::string> onlyInNew;
};

// The gate: fail when a scope's p50 or p95 got slower by more than percent; scopes with fewer
// than minCount samples in either run are too few to judge.
struct DiffGate {
    double failAbove = -1;  // negative: no gate
    size_t minCount = 5;
};

struct GateVerdict {
    std::vector<const ScopeChange*> failed;
    size_t tooFew = 0;  // scopes not judged
};

RunDiff DiffRuns(const RunModel& base, const RunModel& now, const std::string& basePath,
                 const std::string& newPath);
GateVerdict Judge(const RunDiff& diff, const DiffGate& gate);

void PrintDiff(std::ostream& out, const RunDiff& diff);
// "query: p50 1.20 ms → 1.50 ms (+25.0%), p95 … ", one line per failed scope.
void PrintVerdict(std::ostream& out, const GateVerdict& verdict, const DiffGate& gate);
// The same as one self-contained page, with the gate's threshold and verdict when there is one.
void WriteDiffHtml(std::ostream& out, const RunDiff& diff, const DiffGate& gate,
                   const GateVerdict& verdict);

}  // namespace Metrics::Report
