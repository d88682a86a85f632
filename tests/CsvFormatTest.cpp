#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "CsvFormat.h"

namespace Metrics::Testing {
namespace {

std::string Render(const MetricsValue& value) {
    std::string text;
    AppendCsvValue(text, value);
    return text;
}

TEST(CsvFormatTest, ValueTexts) {
    MetricsValue unknown;
    unknown.m_type = static_cast<MetricsValueType>(9);
    const struct {
        MetricsValue value;
        std::string text;
    } cases[] = {
        {MetricsValue(-42), "-42"},
        {MetricsValue(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        {MetricsValue(std::numeric_limits<int64_t>::max()), "9223372036854775807"},
        {MetricsValue(true), "true"},
        {MetricsValue(false), "false"},
        {MetricsValue(2.5), "2.500000"},
        {MetricsValue(-0.25), "-0.250000"},
        {MetricsValue(1e20), "100000000000000000000.000000"},
        {MetricsValue(0.0000001), "0.000000"},
        {MetricsValue(std::numeric_limits<double>::infinity()), "inf"},
        {unknown, ""},
        {MetricsValue(std::string("cut\0here", 8)), "cut"},
        {MetricsValue("'abc'"), "abc"},
        {MetricsValue("it's"), "it's"},
        {MetricsValue("'a'b'c"), "abc"},
        {MetricsValue("'"), ""},
        {MetricsValue(R"(a"b)"), R"("a""b")"},
        {MetricsValue("a\nb"), R"("a""b")"},
        {MetricsValue("a,b"), "\"a,b\""},
        {MetricsValue("a\rb"), "\"a\rb\""},
        {MetricsValue("\ta b "), "\ta b "},
        {MetricsValue(L"w\u00e9\U0001F600"), "w\xC3\xA9\xF0\x9F\x98\x80"},
        {MetricsValue(std::wstring(L"wide\0tail", 9)), "wide"},
        {MetricsValue(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Render(c.value), c.text);
    }
}

TEST(CsvFormatTest, LineColumns) {
    MetricsEvent event;
    event.timestamp = 123456789;
    event.datetimeSeconds = 1700000000;
    event.datetimeMicroseconds = 5;
    event.contextId = 18446744073709551615ULL;
    event.eventType = static_cast<MetricsEventType>(-3);
    event.param1 = MetricsValue("name");
    event.paramPairs.emplace_back(MetricsValue("k"), MetricsValue("v"));
    std::string line;
    AppendCsvLine(line, event);
    EXPECT_EQ(line, "123456789,1700000000.000005,18446744073709551615,-3,name,0\n");

    line.clear();
    AppendCsvLine(line, MetricsEvent());
    EXPECT_EQ(line, "0,0.000000,0,0,0,0\n");
}

}  // namespace
}  // namespace Metrics::Testing
