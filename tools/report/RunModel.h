#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "EventFile.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics::Report {

constexpr uint32_t kNoName = UINT32_MAX;

// Each distinct text once; ids are dense from 0.
class NameTable {
public:
    uint32_t Intern(std::string_view text);
    const std::string& operator[](uint32_t id) const { return m_texts[id]; }
    size_t Size() const { return m_texts.size(); }

private:
    std::deque<std::string> m_texts;  // a deque keeps the views of m_index valid
    std::unordered_map<std::string_view, uint32_t> m_index;
};

// One input file of a model: several files are taken as the runs of as many processes, each
// aligned at its first event (every process stamps from its own start).
struct RunFile {
    std::string path;
    size_t events = 0;
    uint64_t shift = 0;  // subtracted from the file's timestamps
    uint64_t firstTs = 0;
    uint64_t lastTs = 0;
    std::string firstDatetime;  // "seconds.micros", as written
    std::string lastDatetime;
    size_t cutLine = 0;  // the line left out because the file ended inside it
};

struct ContextInfo {
    uint32_t file = 0;
    uint64_t id = 0;          // as the file writes it
    uint64_t parent = 0;      // as the file writes it; 0 for a root
    uint32_t name = kNoName;  // its own scope's, the first one opened at depth 0
    bool opened = false;
    bool closed = false;
    uint64_t openTs = 0;
    uint64_t closeTs = 0;
};

// A closed scope, kept only for the outputs that draw each one (the page, the trace).
struct ScopeSpan {
    uint32_t context = 0;  // index into RunModel::contexts
    uint32_t name = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
    uint64_t self = 0;
    uint32_t depth = 0;  // scopes of the same context open around it
};

// An attribute or an emitted value, kept only for the outputs that draw each one.
struct Mark {
    uint32_t context = 0;
    uint64_t ts = 0;
    int32_t type = 0;
    uint32_t name = 0;
    uint32_t value = 0;
};

// What the values of one name looked like: count, min/mean/max of those that are numbers, and
// the first few distinct values of those that are not.
struct ValueStats {
    size_t count = 0;
    size_t numbers = 0;
    double min = 0;
    double max = 0;
    double sum = 0;
    std::vector<std::string> texts;
    bool moreTexts = false;
    void Add(std::string_view value);
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
    uint64_t self = 0;  // total less the time of scopes nested inside, on the same context
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
    NameTable names;
    std::vector<RunFile> files;
    size_t events = 0;
    uint64_t span = 0;  // the longest file's first to last event, ns
    std::map<int32_t, size_t> byType;
    std::vector<ContextInfo> contexts;
    // Per scope name: every closed scope's duration, and the self time of them all.
    struct ScopeTotals {
        std::vector<uint64_t> durations;
        uint64_t self = 0;
    };
    std::unordered_map<uint32_t, ScopeTotals> scopes;
    // The time spent in contexts' outermost scopes, summed: more than the span when contexts ran
    // at the same time on several threads.
    uint64_t busy = 0;
    std::map<std::string, ValueStats, std::less<>> attributes;
    // Values given to a scope's Emit, by the name of the scope they were emitted in ("" when
    // none was open), then by their own name.
    std::map<std::string, std::map<std::string, ValueStats, std::less<>>, std::less<>> emits;
    std::vector<ScopeSpan> spans;
    std::vector<Mark> marks;
    size_t unpairedOpens = 0;
    size_t unpairedCloses = 0;

    std::vector<ScopeStats> StatsByTotal() const;
    // By count, largest first.
    std::vector<ContextGroup> ContextGroups() const;
    std::string ContextName(const ContextInfo& context) const;
};

// Builds a model from rows as they stream by, keeping per scope name only its durations, and
// each scope and mark only when keepSpans asks for them. A ScopeClose pairs with the most recent
// unclosed ScopeOpen of the same name in the same context (a file carries no scope identity);
// those that find no partner are counted, not guessed.
class ModelBuilder {
public:
    explicit ModelBuilder(bool keepSpans);
    void BeginFile(const std::string& path);
    void Add(const EventRow& row);
    void EndFile(const ReadSummary& read);
    RunModel Finish();

private:
    struct OpenScope {
        uint32_t name;
        uint32_t parent;  // the scope open around it when it opened, while that one is open
        uint32_t depth;
        bool closed;
        uint64_t begin;
        uint64_t childTime;
    };
    struct ContextState {
        std::vector<OpenScope> open;  // closed entries leave once nothing open lies above them
        uint32_t top = kNoName;
        uint32_t openCount = 0;
    };
    uint32_t ContextIndex(uint64_t id);
    uint32_t OpenParent(ContextState& state, uint32_t index);
    void OpenScopeRow(uint32_t context, const EventRow& row, uint64_t ts);
    void CloseScopeRow(uint32_t context, const EventRow& row, uint64_t ts);

    bool m_keepSpans;
    RunModel m_model;
    // Context id -> index in m_model.contexts, for the current file.
    static constexpr uint64_t kDirectContextIds = uint64_t{1} << 24;
    std::vector<uint32_t> m_directIndex;
    std::unordered_map<uint64_t, uint32_t> m_contextIndex;
    std::vector<ContextState> m_states;
    // (context index, scope name) -> positions in that context's open list, innermost last.
    std::unordered_map<uint64_t, std::vector<uint32_t>> m_openByName;
    RunFile* m_file = nullptr;
    bool m_firstRow = true;
};

const char* TypeName(int32_t type);

}  // namespace Metrics::Report
