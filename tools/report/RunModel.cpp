#include "RunModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>

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

constexpr size_t kDistinctTextsKept = 5;
constexpr const char* kUnnamed = "unnamed";

uint64_t IdOf(std::string_view text) {
    uint64_t id = 0;
    std::from_chars(text.data(), text.data() + text.size(), id);
    return id;
}

template <typename Map>
typename Map::mapped_type& Entry(Map& map, std::string_view key) {
    const auto found = map.find(key);
    if (found != map.end()) {
        return found->second;
    }
    return map.emplace(std::string(key), typename Map::mapped_type()).first->second;
}

}  // namespace

const char* TypeName(int32_t type) {
    const char* name = MetricsEventTypeName(static_cast<MetricsEventType>(type));
    return name != nullptr ? name : "other";
}

uint32_t NameTable::Intern(std::string_view text) {
    const auto found = m_index.find(text);
    if (found != m_index.end()) {
        return found->second;
    }
    const auto id = static_cast<uint32_t>(m_texts.size());
    m_texts.emplace_back(text);
    m_index.emplace(m_texts.back(), id);
    return id;
}

void ValueStats::Add(std::string_view value) {
    ++count;
    double number = 0;
    const char* end = value.data() + value.size();
    const auto parsed = std::from_chars(value.data(), end, number);
    if (!value.empty() && parsed.ec == std::errc() && parsed.ptr == end && std::isfinite(number)) {
        min = numbers == 0 ? number : std::min(min, number);
        max = numbers == 0 ? number : std::max(max, number);
        sum += number;
        ++numbers;
        return;
    }
    if (std::find(texts.begin(), texts.end(), value) != texts.end()) {
        return;
    }
    if (texts.size() < kDistinctTextsKept) {
        texts.emplace_back(value);
    } else {
        moreTexts = true;
    }
}

ModelBuilder::ModelBuilder(bool keepSpans)
    : m_keepSpans(keepSpans) {}

void ModelBuilder::BeginFile(const std::string& path) {
    m_model.files.emplace_back();
    m_file = &m_model.files.back();
    m_file->path = path;
    m_contextIndex.clear();
    m_directIndex.clear();
    m_firstRow = true;
}

uint32_t ModelBuilder::ContextIndex(uint64_t id) {
    // The library issues context ids from 1 upward, so most files index them directly; a map
    // takes ids too large for that.
    uint32_t* slot = nullptr;
    if (id < kDirectContextIds) {
        if (id >= m_directIndex.size()) {
            m_directIndex.resize(std::max<size_t>(id + 1, m_directIndex.size() * 2), kNoName);
        }
        slot = &m_directIndex[id];
    } else {
        slot = &m_contextIndex.emplace(id, kNoName).first->second;
    }
    if (*slot == kNoName) {
        *slot = static_cast<uint32_t>(m_model.contexts.size());
        ContextInfo context;
        context.file = static_cast<uint32_t>(m_model.files.size() - 1);
        context.id = id;
        m_model.contexts.push_back(context);
        m_states.emplace_back();
    }
    return *slot;
}

// The nearest scope still open around open[index]: an inner scope may outlive the one it opened
// in when closes come out of order, so the chain is walked and shortened.
uint32_t ModelBuilder::OpenParent(ContextState& state, uint32_t index) {
    uint32_t parent = state.open[index].parent;
    while (parent != kNoName && state.open[parent].closed) {
        parent = state.open[parent].parent;
    }
    state.open[index].parent = parent;
    return parent;
}

void ModelBuilder::OpenScopeRow(uint32_t context, const EventRow& row, uint64_t ts) {
    ContextState& state = m_states[context];
    const uint32_t name = m_model.names.Intern(row.param1);
    const auto index = static_cast<uint32_t>(state.open.size());
    state.open.push_back({name, state.top, state.openCount, false, ts, 0});
    state.top = index;
    m_openByName[(uint64_t{context} << 32) | name].push_back(index);
    ContextInfo& info = m_model.contexts[context];
    if (info.name == kNoName && state.openCount == 0) {
        info.name = name;  // the context's own scope opens first
    }
    ++state.openCount;
}

void ModelBuilder::CloseScopeRow(uint32_t context, const EventRow& row, uint64_t ts) {
    ContextState& state = m_states[context];
    const uint32_t name = m_model.names.Intern(row.param1);
    const auto found = m_openByName.find((uint64_t{context} << 32) | name);
    if (found == m_openByName.end()) {
        ++m_model.unpairedCloses;
        return;
    }
    const uint32_t index = found->second.back();
    found->second.pop_back();
    if (found->second.empty()) {
        m_openByName.erase(found);
    }
    const uint32_t parent = OpenParent(state, index);
    OpenScope& scope = state.open[index];
    scope.closed = true;
    --state.openCount;
    const uint64_t duration = ts - std::min(ts, scope.begin);
    const uint64_t self = duration - std::min(duration, scope.childTime);
    if (parent != kNoName) {
        state.open[parent].childTime += duration;
    }
    RunModel::ScopeTotals& totals = m_model.scopes[name];
    totals.durations.push_back(duration);
    totals.self += self;
    if (scope.depth == 0) {
        m_model.busy += duration;
    }
    if (m_keepSpans) {
        // A file whose stamps run backwards ends the scope where it began, as its duration does.
        m_model.spans.push_back(
            {context, name, scope.begin, std::max(ts, scope.begin), self, scope.depth});
    }
    if (state.top == index) {
        state.top = parent;
    }
    while (!state.open.empty() && state.open.back().closed) {
        state.open.pop_back();
    }
}

void ModelBuilder::Add(const EventRow& row) {
    RunFile& file = *m_file;
    if (m_firstRow) {
        m_firstRow = false;
        file.shift = row.timestamp;
        file.firstDatetime = row.datetime;
    }
    const uint64_t ts = row.timestamp - std::min(row.timestamp, file.shift);
    ++file.events;
    file.lastTs = std::max(file.lastTs, ts);
    ++m_model.byType[row.type];
    switch (row.type) {
        case kContextCreate:
        case kContextOpen:
        case kContextClose: {
            ContextInfo& info = m_model.contexts[ContextIndex(IdOf(row.param2))];
            info.parent = row.contextId;
            if (row.type == kContextOpen) {
                info.opened = true;
                info.openTs = ts;
            } else if (row.type == kContextClose) {
                info.closed = true;
                info.closeTs = ts;
            }
            break;
        }
        case kScopeOpen:
            OpenScopeRow(ContextIndex(row.contextId), row, ts);
            break;
        case kScopeClose:
            CloseScopeRow(ContextIndex(row.contextId), row, ts);
            break;
        case kAttribute:
        case kMultiAttribute:
        case kScopeEmit: {
            const uint32_t context = ContextIndex(row.contextId);
            if (row.type == kScopeEmit) {
                const ContextState& state = m_states[context];
                const std::string& scope = state.top == kNoName
                                               ? std::string()
                                               : m_model.names[state.open[state.top].name];
                Entry(Entry(m_model.emits, scope), row.param1).Add(row.param2);
            } else {
                Entry(m_model.attributes, row.param1).Add(row.param2);
            }
            if (m_keepSpans) {
                m_model.marks.push_back({context, ts, row.type, m_model.names.Intern(row.param1),
                                         m_model.names.Intern(row.param2)});
            }
            break;
        }
        default:
            break;
    }
    if (file.events == 1 || ts >= file.lastTs) {
        file.lastDatetime = row.datetime;
    }
}

void ModelBuilder::EndFile(const ReadSummary& read) {
    m_file->cutLine = read.cutLine;
    m_model.events += m_file->events;
    m_model.span = std::max(m_model.span, m_file->lastTs - m_file->firstTs);
    // Scopes still open at the end of a file are counted, and left out of the durations.
    for (const auto& [key, positions] : m_openByName) {
        m_model.unpairedOpens += positions.size();
    }
    m_openByName.clear();
    for (ContextState& state : m_states) {
        state = ContextState();
    }
}

RunModel ModelBuilder::Finish() { return std::move(m_model); }

DurationStats Summarise(std::vector<uint64_t> durations) {
    DurationStats s;
    if (durations.empty()) {
        return s;
    }
    s.count = durations.size();
    for (const uint64_t value : durations) {
        s.total += value;
        s.max = std::max(s.max, value);
    }
    s.mean = s.total / s.count;
    // Nearest rank: the smallest value with at least p of the values at or below it. Selected,
    // not sorted: a long run has millions of durations per name.
    const auto rank = [&durations](size_t percent) {
        const auto at = durations.begin() +
                        static_cast<std::ptrdiff_t>((durations.size() * percent + 99) / 100 - 1);
        std::nth_element(durations.begin(), at, durations.end());
        return *at;
    };
    s.p95 = rank(95);
    s.p50 = rank(50);
    return s;
}

std::vector<ScopeStats> RunModel::StatsByTotal() const {
    std::vector<ScopeStats> stats;
    stats.reserve(scopes.size());
    for (const auto& [name, totals] : scopes) {
        ScopeStats s;
        static_cast<DurationStats&>(s) = Summarise(totals.durations);
        s.name = names[name];
        s.self = totals.self;
        stats.push_back(std::move(s));
    }
    std::sort(stats.begin(), stats.end(), [](const ScopeStats& a, const ScopeStats& b) {
        return a.total != b.total ? a.total > b.total : a.name < b.name;
    });
    return stats;
}

std::string RunModel::ContextName(const ContextInfo& context) const {
    return context.name == kNoName ? kUnnamed : names[context.name];
}

std::vector<ContextGroup> RunModel::ContextGroups() const {
    std::map<std::string, std::pair<ContextGroup, std::vector<uint64_t>>> groups;
    for (const ContextInfo& context : contexts) {
        const std::string name = ContextName(context);
        auto& [group, lifetimes] = groups[name];
        group.name = name;
        ++group.count;
        if (context.opened && context.closed) {
            lifetimes.push_back(context.closeTs - std::min(context.closeTs, context.openTs));
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
