#include "Exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>

#include "Apostrophes.h"
#include "Utf8.h"
#include "quillmetrics/Category.h"
#include "quillmetrics/MetricsManager.h"

namespace Metrics::Prometheus {

namespace {

constexpr std::string_view kOther = "other";

void AppendNumber(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
    }
}

void AppendNumber(std::string& out, uint64_t value) { out += std::to_string(value); }

void AppendHeader(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

template <typename Number>
void AppendSample(std::string& out, const char* name, const std::string& labels, Number value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

std::string Label(const char* name, std::string_view value) {
    return std::string(name) + "=\"" + LabelValue(std::string(value)) + '"';
}

std::string TypeOf(MetricsEventType type) {
    const char* name = MetricsEventTypeName(type);
    return name != nullptr ? name : std::to_string(static_cast<int32_t>(type));
}

// The text of a name after the CSV writer's apostrophe rule, so that a name reads the same in the
// file and in a label ("'pid'" is "pid"), and both spellings count as one series. Without a copy
// when it is a narrow string the rule leaves alone; else in scratch.
std::string_view NameOf(const MetricsValue& value, std::string& scratch) {
    if (value.m_type == MetricsValueType::String) {
        return DropApostrophes(*value.m_string, scratch);
    }
    scratch = TextOf(value);
    DropApostrophes(scratch);
    return scratch;
}

// The mnemonics of the category bits one by one, in the order of mnemonic lists: "all" stands for
// every bit and would be in every label, so it is left out, and a bit without a mnemonic of its
// own reads "bitN".
std::string CategoryOf(uint64_t bits) {
    uint64_t unnamed = bits & kCategoryMask;
    if (unnamed == 0) {
        return "none";
    }
    std::vector<std::string_view> names;
    for (const CategoryMnemonic& row : kCategoryMnemonics) {
        const bool oneBit = (row.bits & (row.bits - 1)) == 0;
        if (oneBit && (unnamed & row.bits) != 0) {
            names.emplace_back(row.mnemonic);
            unnamed &= ~row.bits;
        }
    }
    std::sort(names.begin(), names.end());
    std::string label;
    for (const std::string_view name : names) {
        label += label.empty() ? "" : ",";
        label += name;
    }
    for (int bit = 12; bit < 64; ++bit) {
        if ((unnamed >> bit & 1U) != 0) {
            label += label.empty() ? "bit" : ",bit";
            label += std::to_string(bit);
        }
    }
    return label;
}

bool IsNumber(const MetricsValue& value) {
    return value.m_type == MetricsValueType::Int64 || value.m_type == MetricsValueType::Double;
}

}  // namespace

std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : ValidUtf8(text)) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string TextOf(const MetricsValue& value) {
    switch (value.m_type) {
        case MetricsValueType::String:
            return *value.m_string;
        case MetricsValueType::WString: {
            std::string out;
            const std::wstring& wide = *value.m_wstring;
            for (size_t i = 0; i < wide.size(); ++i) {
                auto code =
                    static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
                // UTF-16 where wchar_t is 16 bits wide: join a surrogate pair, and let a lone
                // surrogate become U+FFFD.
                if (sizeof(wchar_t) == 2 && code >= 0xD800 && code <= 0xDBFF &&
                    i + 1 < wide.size()) {
                    const auto low = static_cast<uint32_t>(
                        static_cast<std::make_unsigned_t<wchar_t>>(wide[i + 1]));
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        ++i;
                    }
                }
                AppendUtf8(out, code);
            }
            return out;
        }
        case MetricsValueType::Bool:
            return value.m_bool ? "true" : "false";
        case MetricsValueType::Double: {
            std::string out;
            AppendNumber(out, value.m_double);
            return out;
        }
        case MetricsValueType::Int64:
            break;
    }
    return std::to_string(value.m_int);
}

Aggregate::Aggregate(size_t maxSeriesPerMetric, std::vector<double> bucketsSeconds,
                     size_t maxPendingScopes)
    : m_maxSeries(maxSeriesPerMetric)
    , m_maxPendingScopes(maxPendingScopes) {
    m_counts.bounds = std::move(bucketsSeconds);
}

template <typename Series>
Series& Aggregate::SeriesOf(Counts::Family<Series>& family, Counts::KeyView key) {
    const auto found = family.series.find(key);
    if (found != family.series.end()) {
        return found->second;
    }
    // The folded series does not count against the cap, so a full family still takes every event.
    const size_t kept = family.series.size() - (family.series.empty()                  ? 0
                                                : family.series.rbegin()->first.folded ? 1
                                                                                       : 0);
    if (kept >= m_maxSeries) {
        ++family.folded;
        key = Counts::KeyView{key.type, 0, std::string_view(), true};
    }
    return family.series[Counts::SeriesKey{key.type, key.bits, std::string(key.text), key.folded}];
}

void Aggregate::Add(const MetricsEvent& event) {
    ++m_counts.delivered;
    ++SeriesOf(m_counts.events,
               Counts::KeyView{static_cast<int32_t>(event.eventType), event.bits & kCategoryMask,
                               std::string_view(), false});
    std::string scratch;
    switch (event.eventType) {
        case MetricsEventType::ContextCreate:
            ++m_counts.contextsCreated;
            break;
        case MetricsEventType::ContextOpen:
            ++m_counts.contextsOpen;
            break;
        case MetricsEventType::ContextClose:
            --m_counts.contextsOpen;
            break;
        case MetricsEventType::ScopeOpen:
            if (m_pairing.Pending() >= m_maxPendingScopes) {
                m_counts.forgottenOpens += m_pairing.Pending();
                m_pairing.Clear();
            }
            m_pairing.Open(event.contextId, NameOf(event.param1, scratch), event.timestamp);
            break;
        case MetricsEventType::ScopeClose:
            AddScopeClose(event, NameOf(event.param1, scratch));
            break;
        case MetricsEventType::Attribute:
            AddNumber(event.param1, event.param2);
            break;
        case MetricsEventType::MultiAttribute:
            for (const auto& [name, value] : event.paramPairs) {
                AddNumber(name, value);
            }
            break;
        default:
            break;
    }
}

void Aggregate::AddScopeClose(const MetricsEvent& event, std::string_view name) {
    const auto opened = m_pairing.Close(event.contextId, name);
    if (!opened) {
        return;
    }
    Counts::Histogram& histogram =
        SeriesOf(m_counts.scopes, Counts::KeyView{0, event.bits & kCategoryMask, name, false});
    if (histogram.buckets.empty()) {
        histogram.buckets.assign(m_counts.bounds.size() + 1, 0);
    }
    const uint64_t nanoseconds = event.timestamp > *opened ? event.timestamp - *opened : 0;
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    size_t bucket = 0;
    while (bucket < m_counts.bounds.size() && seconds > m_counts.bounds[bucket]) {
        ++bucket;
    }
    ++histogram.buckets[bucket];
    histogram.sum += seconds;
    ++histogram.count;
}

void Aggregate::AddNumber(const MetricsValue& name, const MetricsValue& value) {
    if (!IsNumber(value)) {
        return;
    }
    const double number = value.m_type == MetricsValueType::Double
                              ? value.m_double
                              : static_cast<double>(value.m_int);
    std::string scratch;
    Counts::Attribute& attribute =
        SeriesOf(m_counts.attributes, Counts::KeyView{0, 0, NameOf(name, scratch), false});
    ++attribute.count;
    attribute.sum += number;
    attribute.last = number;
}

std::string Counts::Render(unsigned long long queued) const {
    std::string out;
    AppendHeader(out, "quillmetrics_events_total", "counter",
                 "Events delivered to the exporter, by type and categories.");
    for (const auto& [key, count] : events.series) {
        AppendSample(out, "quillmetrics_events_total",
                     Label("type", TypeOf(static_cast<MetricsEventType>(key.type))) + ',' +
                         Label("category", key.folded ? kOther : CategoryOf(key.bits)),
                     count);
    }

    AppendHeader(out, "quillmetrics_scope_duration_seconds", "histogram",
                 "Time from a scope's open to its close, by scope name and categories.");
    for (const auto& [key, histogram] : scopes.series) {
        const std::string labels =
            Label("scope", key.folded ? kOther : std::string_view(key.text)) + ',' +
            Label("category", key.folded ? kOther : CategoryOf(key.bits));
        uint64_t cumulative = 0;
        for (size_t i = 0; i <= bounds.size(); ++i) {
            cumulative += histogram.buckets[i];
            std::string le = labels;
            le += ",le=\"";
            if (i < bounds.size()) {
                AppendNumber(le, bounds[i]);
            } else {
                le += "+Inf";
            }
            le += '"';
            AppendSample(out, "quillmetrics_scope_duration_seconds_bucket", le, cumulative);
        }
        AppendSample(out, "quillmetrics_scope_duration_seconds_sum", labels, histogram.sum);
        AppendSample(out, "quillmetrics_scope_duration_seconds_count", labels, histogram.count);
    }

    AppendHeader(out, "quillmetrics_contexts_created_total", "counter", "Contexts created.");
    AppendSample(out, "quillmetrics_contexts_created_total", "", contextsCreated);
    AppendHeader(out, "quillmetrics_contexts_open", "gauge", "Contexts opened and not yet closed.");
    AppendSample(out, "quillmetrics_contexts_open", "", static_cast<double>(contextsOpen));

    AppendHeader(out, "quillmetrics_attribute", "summary",
                 "Numeric attributes by name: how many were recorded, and their sum.");
    for (const auto& [key, attribute] : attributes.series) {
        const std::string labels = Label("name", key.folded ? kOther : std::string_view(key.text));
        AppendSample(out, "quillmetrics_attribute_sum", labels, attribute.sum);
        AppendSample(out, "quillmetrics_attribute_count", labels, attribute.count);
    }
    AppendHeader(out, "quillmetrics_attribute_last", "gauge",
                 "The last value recorded of each numeric attribute.");
    for (const auto& [key, attribute] : attributes.series) {
        AppendSample(out, "quillmetrics_attribute_last",
                     Label("name", key.folded ? kOther : std::string_view(key.text)),
                     attribute.last);
    }

    AppendHeader(out, "quillmetrics_exporter_events_total", "counter",
                 "Events the exporter has received.");
    AppendSample(out, "quillmetrics_exporter_events_total", "", delivered);
    AppendHeader(out, "quillmetrics_scope_opens_forgotten_total", "counter",
                 "Scope opens forgotten unpaired because too many waited for their close.");
    AppendSample(out, "quillmetrics_scope_opens_forgotten_total", "", forgottenOpens);
    AppendHeader(out, "quillmetrics_events_queued", "gauge",
                 "Events emitted and not yet delivered to the asynchronous consumers.");
    AppendSample(out, "quillmetrics_events_queued", "", static_cast<uint64_t>(queued));
    AppendHeader(out, "quillmetrics_series_folded_total", "counter",
                 "Events whose label set was folded into \"other\" by the cardinality cap.");
    AppendSample(out, "quillmetrics_series_folded_total",
                 Label("metric", "quillmetrics_events_total"), events.folded);
    AppendSample(out, "quillmetrics_series_folded_total",
                 Label("metric", "quillmetrics_scope_duration_seconds"), scopes.folded);
    AppendSample(out, "quillmetrics_series_folded_total", Label("metric", "quillmetrics_attribute"),
                 attributes.folded);
    return out;
}

}  // namespace Metrics::Prometheus
