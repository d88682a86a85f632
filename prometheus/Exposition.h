#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ScopePairing.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics::Prometheus {

// Label text as the exposition format takes it: valid UTF-8 (each invalid byte becomes U+FFFD),
// with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text);
// The text of a name or value: strings as they are, wide strings in UTF-8, numbers in decimal.
std::string TextOf(const MetricsValue& value);

// The figures the exporter keeps, built from the event stream. Not thread-safe: the exporter
// guards it, and renders a copy.
class Aggregate {
public:
    Aggregate(size_t maxSeriesPerMetric, std::vector<double> bucketsSeconds);

    void Add(const MetricsEvent& event);
    // The exposition text; queued is the manager's count of events not yet delivered.
    std::string Render(unsigned long long queued) const;

private:
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
    // Series of one metric by their rendered label set, at most m_maxSeries of them besides the
    // folded one.
    template <typename Series>
    struct Family {
        std::map<std::string, Series> series;
        uint64_t folded = 0;
    };

    template <typename Series>
    Series& SeriesOf(Family<Series>& family, std::string labels, const std::string& folded);
    void AddScopeClose(const MetricsEvent& event, const std::string& name);
    void AddNumber(const MetricsValue& name, const MetricsValue& value);

    size_t m_maxSeries;
    std::vector<double> m_bounds;
    Family<uint64_t> m_events;
    Family<Histogram> m_scopes;
    Family<Attribute> m_attributes;
    uint64_t m_delivered = 0;
    uint64_t m_contextsCreated = 0;
    int64_t m_contextsOpen = 0;
    ScopePairing<uint64_t> m_pairing;  // each open scope's timestamp
};

}  // namespace Metrics::Prometheus
