#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "EventFile.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics::Report {

// A recorded run as the report tool sees it: contexts, paired scopes, attributes and values.
struct ContextInfo {
    uint64_t id = 0;
    uint64_t parent = 0;
    std::string name;  // the name of its own scope, when that opened
    bool opened = false;
    bool closed = false;
    uint64_t openTs = 0;
    uint64_t closeTs = 0;
};

struct ScopeSpan {
    uint64_t context = 0;
    std::string name;
    uint64_t begin = 0;
    uint64_t end = 0;
    int depth = 0;  // scopes of the same context open around it
};

struct Mark {
    uint64_t context = 0;
    uint64_t ts = 0;
    int32_t type = 0;  // Attribute, MultiAttribute or ScopeEmit
    std::string name;
    std::string value;
};

// Count, total and nearest-rank percentiles of a set of durations (ns).
struct DurationStats {
    size_t count = 0;
    uint64_t total = 0;
    uint64_t mean = 0;
    uint64_t p50 = 0;
    uint64_t p95 = 0;
    uint64_t max = 0;
};
DurationStats Summarise(std::vector<uint64_t> durations);

struct ScopeStats : DurationStats {
    std::string name;
};

// Contexts of one name (their own scope's, "unnamed" without one): how many, how long the closed
// ones lived, and how many were still open at the end.
struct ContextGroup {
    std::string name;
    size_t count = 0;
    size_t stillOpen = 0;
    DurationStats lifetimes;
};

struct RunModel {
    size_t events = 0;
    uint64_t firstTs = 0;
    uint64_t lastTs = 0;
    std::string firstDatetime;
    std::string lastDatetime;
    std::map<int32_t, size_t> byType;
    std::map<uint64_t, ContextInfo> contexts;
    std::vector<ScopeSpan> scopes;
    std::vector<Mark> marks;
    size_t unpairedOpens = 0;
    size_t unpairedCloses = 0;
    // Attribute name -> its distinct values (the first few) and how many times it was recorded.
    std::map<std::string, std::pair<std::set<std::string>, size_t>> attributes;

    std::vector<ScopeStats> StatsByTotal() const;
    // By count, largest first.
    std::vector<ContextGroup> ContextGroups() const;
};

// Scopes pair as ScopePairing says; those still open at the end of the file are counted only.
RunModel BuildModel(const EventFile& file);

// Several runs as one, each the run of its own process: times are aligned at each run's first
// event (each process stamps from its own start), and the contexts of run i are keyed
// i * kRunStride + id. One run comes back as it is.
constexpr uint64_t kRunStride = uint64_t{1} << 40;
RunModel MergeModels(const std::vector<const RunModel*>& runs);

const char* TypeName(int32_t type);

}  // namespace Metrics::Report
