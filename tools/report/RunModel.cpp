#include "RunModel.h"

#include <algorithm>
#include <charconv>

#include "ScopePairing.h"

namespace Metrics::Report {

namespace {

// The event types the model reads, as the file writes them.
constexpr int32_t Code(MetricsEventType type) { return static_cast<int32_t>(type); }
constexpr int32_t kContextCreate = Code(MetricsEventType::ContextCreate);
constexpr int32_t kContextOpen = Code(MetricsEventType::ContextOpen);
constexpr int32_t kContextClose = Code(MetricsEventType::ContextClose);
constexpr int32_t kScopeOpen = Code(MetricsEventType::ScopeOpen);
constexpr int32_t kScopeClose = Code(MetricsEventType::ScopeClose);
constexpr int32_t kScopeEmit = Code(MetricsEventType::ScopeEmit);
constexpr int32_t kAttribute = Code(MetricsEventType::Attribute);
constexpr int32_t kMultiAttribute = Code(MetricsEventType::MultiAttribute);

constexpr size_t kDistinctValuesKept = 5;
constexpr const char* kUnnamed = "unnamed";

uint64_t IdOf(const std::string& text) {
    uint64_t id = 0;
    std::from_chars(text.data(), text.data() + text.size(), id);
    return id;
}

}  // namespace

const char* TypeName(int32_t type) {
    const char* name = MetricsEventTypeName(static_cast<MetricsEventType>(type));
    return name != nullptr ? name : "other";
}

RunModel BuildModel(const EventFile& file) {
    RunModel model;
    model.events = file.rows.size();
    if (!file.rows.empty()) {
        model.firstTs = file.rows.front().timestamp;
        model.lastTs = file.rows.back().timestamp;
        model.firstDatetime = file.rows.front().datetime;
        model.lastDatetime = file.rows.back().datetime;
    }
    // Each open scope carries its index in model.scopes.
    ScopePairing<size_t> open;
    for (const EventRow& row : file.rows) {
        ++model.byType[row.type];
        model.firstTs = std::min(model.firstTs, row.timestamp);
        model.lastTs = std::max(model.lastTs, row.timestamp);
        switch (row.type) {
            case kContextCreate:
            case kContextOpen:
            case kContextClose: {
                const uint64_t id = IdOf(row.param2);
                ContextInfo& context = model.contexts[id];
                context.id = id;
                context.parent = row.contextId;
                if (row.type == kContextOpen) {
                    context.opened = true;
                    context.openTs = row.timestamp;
                } else if (row.type == kContextClose) {
                    context.closed = true;
                    context.closeTs = row.timestamp;
                }
                break;
            }
            case kScopeOpen: {
                const int depth = open.Open(row.contextId, row.param1, model.scopes.size());
                model.scopes.push_back(
                    {row.contextId, row.param1, row.timestamp, row.timestamp, depth});
                ContextInfo& context = model.contexts[row.contextId];
                if (context.name.empty() && depth == 0) {
                    context.name = row.param1;  // the context's own scope opens first
                }
                break;
            }
            case kScopeClose: {
                const std::optional<size_t> index = open.Close(row.contextId, row.param1);
                if (index) {
                    model.scopes[*index].end = row.timestamp;
                } else {
                    ++model.unpairedCloses;
                }
                break;
            }
            case kAttribute:
            case kMultiAttribute:
            case kScopeEmit: {
                model.marks.push_back(
                    {row.contextId, row.timestamp, row.type, row.param1, row.param2});
                if (row.type != kScopeEmit) {
                    auto& [values, count] = model.attributes[row.param1];
                    ++count;
                    if (values.size() < kDistinctValuesKept) {
                        values.insert(row.param2);
                    }
                }
                break;
            }
            default:
                break;
        }
    }
    // Scopes still open at the end of the file are counted, and left out of the durations.
    std::vector<bool> unclosed(model.scopes.size(), false);
    open.ForEachUnclosed([&](size_t index) {
        ++model.unpairedOpens;
        unclosed[index] = true;
    });
    std::vector<ScopeSpan> closed;
    closed.reserve(model.scopes.size());
    for (size_t i = 0; i < model.scopes.size(); ++i) {
        if (!unclosed[i]) {
            closed.push_back(std::move(model.scopes[i]));
        }
    }
    model.scopes = std::move(closed);
    return model;
}

RunModel MergeModels(const std::vector<const RunModel*>& runs) {
    if (runs.size() == 1) {
        return *runs.front();
    }
    RunModel merged;
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunModel& run = *runs[i];
        const uint64_t shift = run.firstTs;
        const uint64_t base = i * kRunStride;
        merged.events += run.events;
        merged.lastTs = std::max(merged.lastTs, run.lastTs - shift);
        for (const auto& [type, count] : run.byType) {
            merged.byType[type] += count;
        }
        for (const auto& [id, context] : run.contexts) {
            ContextInfo copy = context;
            copy.id = base + id;
            copy.parent = context.parent == 0 ? 0 : base + context.parent;
            copy.openTs = context.openTs - std::min(shift, context.openTs);
            copy.closeTs = context.closeTs - std::min(shift, context.closeTs);
            merged.contexts[copy.id] = std::move(copy);
        }
        for (ScopeSpan span : run.scopes) {
            span.context += base;
            span.begin -= shift;
            span.end -= shift;
            merged.scopes.push_back(std::move(span));
        }
        for (Mark mark : run.marks) {
            mark.context += base;
            mark.ts -= shift;
            merged.marks.push_back(std::move(mark));
        }
        merged.unpairedOpens += run.unpairedOpens;
        merged.unpairedCloses += run.unpairedCloses;
        for (const auto& [name, entry] : run.attributes) {
            auto& [values, count] = merged.attributes[name];
            count += entry.second;
            for (const std::string& value : entry.first) {
                if (values.size() < kDistinctValuesKept) {
                    values.insert(value);
                }
            }
        }
    }
    return merged;
}

DurationStats Summarise(std::vector<uint64_t> durations) {
    DurationStats s;
    if (durations.empty()) {
        return s;
    }
    std::sort(durations.begin(), durations.end());
    s.count = durations.size();
    for (const uint64_t value : durations) {
        s.total += value;
    }
    s.mean = s.total / s.count;
    // Nearest rank: the smallest value with at least p of the values at or below it.
    const auto rank = [&durations](size_t percent) {
        return durations[(durations.size() * percent + 99) / 100 - 1];
    };
    s.p50 = rank(50);
    s.p95 = rank(95);
    s.max = durations.back();
    return s;
}

std::vector<ScopeStats> RunModel::StatsByTotal() const {
    std::map<std::string, std::vector<uint64_t>> durations;
    for (const ScopeSpan& span : scopes) {
        durations[span.name].push_back(span.end - span.begin);
    }
    std::vector<ScopeStats> stats;
    for (auto& [name, values] : durations) {
        ScopeStats s;
        static_cast<DurationStats&>(s) = Summarise(std::move(values));
        s.name = name;
        stats.push_back(std::move(s));
    }
    std::sort(stats.begin(), stats.end(),
              [](const ScopeStats& a, const ScopeStats& b) { return a.total > b.total; });
    return stats;
}

std::vector<ContextGroup> RunModel::ContextGroups() const {
    std::map<std::string, std::pair<ContextGroup, std::vector<uint64_t>>> groups;
    for (const auto& [id, context] : contexts) {
        const std::string name = context.name.empty() ? kUnnamed : context.name;
        auto& [group, lifetimes] = groups[name];
        group.name = name;
        ++group.count;
        if (context.opened && context.closed) {
            lifetimes.push_back(context.closeTs - context.openTs);
        } else if (context.opened) {
            ++group.stillOpen;
        }
    }
    std::vector<ContextGroup> result;
    for (auto& [name, entry] : groups) {
        entry.first.lifetimes = Summarise(std::move(entry.second));
        result.push_back(std::move(entry.first));
    }
    std::stable_sort(
        result.begin(), result.end(),
        [](const ContextGroup& a, const ContextGroup& b) { return a.count > b.count; });
    return result;
}

}  // namespace Metrics::Report
