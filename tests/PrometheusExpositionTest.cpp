#include <gtest/gtest.h>

#include "Exposition.h"
#include "quillmetrics/Category.h"

namespace Metrics::Prometheus {
namespace {

MetricsEvent Event(MetricsEventType type, unsigned long long context, MetricsValue first,
                   MetricsValue second = MetricsValue(), uint64_t timestamp = 0) {
    MetricsEvent event;
    event.eventType = type;
    event.contextId = context;
    event.timestamp = timestamp;
    event.param1 = std::move(first);
    event.param2 = std::move(second);
    return event;
}

MetricsEvent Scope(MetricsEventType type, unsigned long long context, const char* name,
                   uint64_t timestamp) {
    return Event(type, context, MetricsValue(name), MetricsValue(), timestamp);
}

bool Has(const std::string& text, const std::string& line) {
    return text.find("\n" + line + "\n") != std::string::npos;
}

// Each line is in the text, whole.
void ExpectLines(const std::string& text, const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        EXPECT_TRUE(Has(text, line)) << line;
    }
}

// Scopes pair with the latest unclosed open of the same name in the same context: nested opens of
// one name close innermost first, and a close in another context or without an open counts nothing.
TEST(PrometheusExpositionTest, HistogramsPairScopesAndCountCumulatively) {
    Aggregate aggregate(1000, {1e-6, 1e-3, 1});
    using Type = MetricsEventType;
    const std::vector<MetricsEvent> stream = {
        Scope(Type::ScopeOpen, 1, "outer", 1000),       Scope(Type::ScopeOpen, 1, "outer", 2000),
        Scope(Type::ScopeClose, 1, "outer", 2500),     // 500 ns, the inner one
        Scope(Type::ScopeOpen, 2, "outer", 3000),      // another context: never closed
        Scope(Type::ScopeClose, 1, "outer", 1001000),  // exactly 1 ms, the outer one
        Scope(Type::ScopeClose, 1, "outer", 1002000),  // nothing open in context 1 any more
        Scope(Type::ScopeClose, 1, "lonely", 5),        Scope(Type::ScopeOpen, 1, "slow", 0),
        Scope(Type::ScopeClose, 1, "slow", 3000000000),  // 3 s: past every bound
    };
    for (const auto& event : stream) {
        aggregate.Add(event);
    }
    const std::string text = aggregate.Render(7);
    const std::string bucket = "quillmetrics_scope_duration_seconds_bucket";
    const std::string outer = R"({scope="outer",category="none")";
    const std::string slow = R"({scope="slow",category="none")";
    ExpectLines(text, {bucket + outer + ",le=\"1e-06\"} 1", bucket + outer + ",le=\"0.001\"} 2",
                       bucket + outer + ",le=\"1\"} 2", bucket + outer + ",le=\"+Inf\"} 2",
                       "quillmetrics_scope_duration_seconds_count" + outer + "} 2",
                       "quillmetrics_scope_duration_seconds_sum" + outer + "} 0.0010005",
                       bucket + slow + ",le=\"1\"} 0", bucket + slow + ",le=\"+Inf\"} 1",
                       "quillmetrics_scope_duration_seconds_sum" + slow + "} 3",
                       R"(quillmetrics_events_total{type="ScopeClose",category="none"} 5)",
                       "quillmetrics_exporter_events_total 9", "quillmetrics_events_queued 7",
                       "# TYPE quillmetrics_scope_duration_seconds histogram"});
    EXPECT_EQ(text.find("lonely"), std::string::npos);
}

TEST(PrometheusExpositionTest, ContextsAttributesAndLabelText) {
    Aggregate aggregate(1000, {1});
    using Type = MetricsEventType;
    aggregate.Add(Event(Type::ContextCreate, 0, MetricsValue(), MetricsValue(1)));
    aggregate.Add(Event(Type::ContextCreate, 0, MetricsValue(), MetricsValue(2)));
    aggregate.Add(Event(Type::ContextOpen, 0, MetricsValue(), MetricsValue(1)));
    aggregate.Add(Event(Type::ContextOpen, 0, MetricsValue(), MetricsValue(2)));
    aggregate.Add(Event(Type::ContextClose, 0, MetricsValue(), MetricsValue(2)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("rows"), MetricsValue(5)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("rows"), MetricsValue(2.5)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("user"), MetricsValue("not a number")));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("flag"), MetricsValue(true)));
    MetricsEvent multi = Event(Type::MultiAttribute, 1, MetricsValue());
    multi.paramPairs = {{MetricsValue("rows"), MetricsValue(-1)},
                        {MetricsValue("b\"a\\d\nname\xff"), MetricsValue(1)},
                        {MetricsValue(L"gr\u00f6\u00dfe"), MetricsValue(4)}};
    multi.bits = 0x800;  // a bit below the category part: still "none"
    aggregate.Add(multi);
    // Names read as in the CSV file: one that starts with an apostrophe loses them all, and both
    // spellings are one series. Categories name each bit, never the "all" that holds them.
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("'pid'"), MetricsValue(7)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("pid"), MetricsValue(8)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue(L"'t'id'"), MetricsValue(9)));
    aggregate.Add(Event(Type::Attribute, 1, MetricsValue("it's"), MetricsValue(1)));
    MetricsEvent net = Scope(Type::ScopeOpen, 1, "'fetch'", 0);
    net.bits = Category::Net;
    aggregate.Add(net);
    net.eventType = Type::ScopeClose;
    aggregate.Add(net);
    net.bits = Category::Sql | Category::Net | 0x800;
    aggregate.Add(net);
    net.bits = Category::Act | 0x8000000000000000ULL | 0x2000;  // two bits without a mnemonic
    aggregate.Add(net);

    const std::string text = aggregate.Render(0);
    // Backslash, quote and line feed escaped; an invalid byte becomes U+FFFD; wide text in UTF-8.
    ExpectLines(text,
                {"quillmetrics_contexts_created_total 2", "quillmetrics_contexts_open 1",
                 R"(quillmetrics_attribute_count{name="rows"} 3)",
                 R"(quillmetrics_attribute_sum{name="rows"} 6.5)",
                 R"(quillmetrics_attribute_last{name="rows"} -1)",
                 "quillmetrics_attribute_count{name=\"b\\\"a\\\\d\\nname\xef\xbf\xbd\"} 1",
                 std::string("quillmetrics_attribute_last{name=\"gr\xc3\xb6\xc3\x9f") + "e\"} 4",
                 R"(quillmetrics_events_total{type="MultiAttribute",category="none"} 1)",
                 R"(quillmetrics_attribute_count{name="pid"} 2)",
                 R"(quillmetrics_attribute_last{name="tid"} 9)",
                 R"(quillmetrics_attribute_last{name="it's"} 1)",
                 R"(quillmetrics_scope_duration_seconds_count{scope="fetch",category="net"} 1)",
                 R"(quillmetrics_events_total{type="ScopeOpen",category="net"} 1)",
                 R"(quillmetrics_events_total{type="ScopeClose",category="net,sql"} 1)",
                 R"(quillmetrics_events_total{type="ScopeClose",category="act,bit13,bit63"} 1)"});
    EXPECT_EQ(text.find("=\"'"), std::string::npos);
    EXPECT_EQ(text.find("name=\"user\""), std::string::npos);
    EXPECT_EQ(text.find("name=\"flag\""), std::string::npos);
}

// Opens whose close never comes cannot grow without bound: past the limit they are forgotten and
// counted, and pairing goes on for the scopes opened after.
TEST(PrometheusExpositionTest, OpensWithoutACloseAreBounded) {
    Aggregate aggregate(1000, {1}, 3);
    using Type = MetricsEventType;
    for (uint64_t t = 1; t <= 4; ++t) {
        aggregate.Add(Scope(Type::ScopeOpen, t, "never closed", t));
    }
    aggregate.Add(Scope(Type::ScopeClose, 1, "never closed", 10));  // its open was forgotten
    aggregate.Add(Scope(Type::ScopeClose, 4, "never closed", 10));  // opened after: pairs
    const std::string text = aggregate.Render(0);
    ExpectLines(
        text,
        {"quillmetrics_scope_opens_forgotten_total 3",
         R"(quillmetrics_scope_duration_seconds_count{scope="never closed",category="none"} 1)"});
}

// Past the cap, new label sets fold into "other", which still takes their values, and every
// folded event is counted.
TEST(PrometheusExpositionTest, CardinalityCapFoldsIntoOther) {
    Aggregate aggregate(2, {1});
    for (const char* name : {"a", "b", "c", "d", "a", "c"}) {
        aggregate.Add(Event(MetricsEventType::Attribute, 1, MetricsValue(name), MetricsValue(1)));
    }
    const std::string text = aggregate.Render(0);
    ExpectLines(text,
                {R"(quillmetrics_attribute_count{name="a"} 2)",
                 R"(quillmetrics_attribute_count{name="b"} 1)",
                 R"(quillmetrics_attribute_count{name="other"} 3)",
                 R"(quillmetrics_series_folded_total{metric="quillmetrics_attribute"} 3)",
                 R"(quillmetrics_series_folded_total{metric="quillmetrics_events_total"} 0)"});
    EXPECT_EQ(text.find("name=\"c\""), std::string::npos);
}

}  // namespace
}  // namespace Metrics::Prometheus
