#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ScopePairing.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics::Prometheus {

// Label text as the exposition format takes it: valid UTF-8 (each invalid byte becomes U+FFFD),
// with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text);
// The text of a name or value: strings as they are, wide strings in UTF-8, numbers in decimal.
std::string TextOf(const MetricsValue& value);

// The figures as served. A scrape copies them, and only them, under the exporter's lock: the
// scope pairing that counting needs stays behind.
struct Counts {
    struct Histogram {
        std::vector<uint64_t> buckets;  // not cumulative: one count per bound, then +Inf
        double sum = 0;
        uint64_t count = 0;
    };
    struct Attribute {
        uint64_t count = 0;
        double sum = 0;
        double last = 0;
    };
    // What tells one series of a metric from another: the event type and category bits, the
    // scope's category bits and name, or the attribute's name, as each metric uses them. The
    // labels are rendered from it only when the figures are served. folded marks the one series
    // that takes the label sets beyond the cap.
    template <typename Text>
    struct Key {
        int32_t type = 0;
        uint64_t bits = 0;
        Text text;
        bool folded = false;
    };
    struct KeyLess {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            if (a.folded != b.folded) {
                return a.folded < b.folded;
            }
            if (a.type != b.type) {
                return a.type < b.type;
            }
            if (a.bits != b.bits) {
                return a.bits < b.bits;
            }
            return std::string_view(a.text) < std::string_view(b.text);
        }
    };
    using SeriesKey = Key<std::string>;
    using KeyView = Key<std::string_view>;
    template <typename Series>
    struct Family {
        std::map<SeriesKey, Series, KeyLess> series;
        uint64_t folded = 0;
    };

    // The exposition text; queued is the manager's count of events not yet delivered.
    std::string Render(unsigned long long queued) const;

    std::vector<double> bounds;
    Family<uint64_t> events;
    Family<Histogram> scopes;
    Family<Attribute> attributes;
    uint64_t delivered = 0;
    uint64_t forgottenOpens = 0;
    uint64_t contextsCreated = 0;
    int64_t contextsOpen = 0;
};

// Builds the figures from the event stream. Not thread-safe: the exporter guards it.
class Aggregate {
public:
    // A live stream may hold opens whose close never comes (the mask changed between the two, a
    // host that never ends a scope): past maxPendingScopes waiting opens, all of them are
    // forgotten, and counted.
    static constexpr size_t kMaxPendingScopes = 100000;
    Aggregate(size_t maxSeriesPerMetric, std::vector<double> bucketsSeconds,
              size_t maxPendingScopes = kMaxPendingScopes);

    void Add(const MetricsEvent& event);
    const Counts& Counted() const { return m_counts; }
    std::string Render(unsigned long long queued) const { return m_counts.Render(queued); }

private:
    // At most m_maxSeries series besides the folded one.
    template <typename Series>
    Series& SeriesOf(Counts::Family<Series>& family, Counts::KeyView key);
    void AddScopeClose(const MetricsEvent& event, std::string_view name);
    void AddNumber(const MetricsValue& name, const MetricsValue& value);

    size_t m_maxSeries;
    size_t m_maxPendingScopes;
    Counts m_counts;
    ScopePairing<uint64_t> m_pairing;  // each open scope's timestamp
};

}  // namespace Metrics::Prometheus
