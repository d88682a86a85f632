#include <limits>

#include <gtest/gtest.h>

#include "quillmetrics/MetricsEvent.h"

namespace Metrics::Testing {
namespace {

TEST(MetricsValueTest, IntegersAreSignExtendedOrKeepTheirBits) {
    const MetricsValue minusOne(-1);
    EXPECT_EQ(minusOne.m_type, MetricsValueType::Int64);
    EXPECT_EQ(minusOne.m_int, -1);

    const MetricsValue allBits(18446744073709551615ULL);
    EXPECT_EQ(allBits.m_type, MetricsValueType::Int64);
    EXPECT_EQ(allBits.m_int, -1);

    const MetricsValue action(static_cast<MetricsCloseScopeActions>(-7));
    EXPECT_EQ(action.m_type, MetricsValueType::Int64);
    EXPECT_EQ(action.m_int, -7);

    const MetricsValue small(4000000000U);
    EXPECT_EQ(small.m_int, 4000000000LL);
}

TEST(MetricsValueTest, KindsAndPayloads) {
    const MetricsValue none;
    EXPECT_EQ(none.m_type, MetricsValueType::Int64);
    EXPECT_EQ(none.m_int, 0);
    EXPECT_FALSE(none.m_string);
    EXPECT_FALSE(none.m_wstring);

    const MetricsValue text("abc");
    EXPECT_EQ(text.m_type, MetricsValueType::String);
    ASSERT_TRUE(text.m_string);
    EXPECT_EQ(*text.m_string, "abc");
    EXPECT_EQ(text.m_int, 0);

    const MetricsValue nullText(static_cast<const char*>(nullptr));
    ASSERT_TRUE(nullText.m_string);  // the String invariant holds even for a null pointer
    EXPECT_EQ(*nullText.m_string, "");

    const MetricsValue wide(L"w\u00e9");
    EXPECT_EQ(wide.m_type, MetricsValueType::WString);
    ASSERT_TRUE(wide.m_wstring);
    EXPECT_EQ(*wide.m_wstring, L"w\u00e9");

    const MetricsValue flag(true);
    EXPECT_EQ(flag.m_type, MetricsValueType::Bool);
    EXPECT_TRUE(flag.m_bool);

    const MetricsValue number(2.5);
    EXPECT_EQ(number.m_type, MetricsValueType::Double);
    EXPECT_EQ(number.m_double, 2.5);
}

TEST(MetricsValueTest, CopiesShareTheStringAndMovesEmptyTheSource) {
    MetricsValue original(std::string("shared"));
    {
        const MetricsValue copy(original);
        EXPECT_EQ(original.m_string.use_count(), 2);
        EXPECT_EQ(copy.m_string.get(), original.m_string.get());
    }
    EXPECT_EQ(original.m_string.use_count(), 1);

    MetricsValue target(L"old");
    target = std::move(original);
    EXPECT_EQ(target.m_type, MetricsValueType::String);
    EXPECT_FALSE(target.m_wstring);  // the destination's old string was released
    EXPECT_EQ(*target.m_string, "shared");
    EXPECT_EQ(original.m_type, MetricsValueType::Int64);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(original.m_int, 0);
    EXPECT_FALSE(original.m_string);

    original = MetricsValue(3);  // a moved-from value can be assigned again
    EXPECT_EQ(original.m_int, 3);

    MetricsValue moved(std::move(target));
    EXPECT_EQ(*moved.m_string, "shared");
    EXPECT_EQ(target.m_type, MetricsValueType::Int64);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(target.m_string);
}

TEST(MetricsValueTest, NewEventIsValueInitialised) {
    const MetricsEvent event;
    EXPECT_EQ(event.subjectId, 0u);
    EXPECT_EQ(event.contextId, 0u);
    EXPECT_EQ(event.bits, 0u);
    EXPECT_EQ(event.timestamp, 0u);
    EXPECT_EQ(event.datetimeSeconds, 0u);
    EXPECT_EQ(event.datetimeMicroseconds, 0u);
    EXPECT_EQ(static_cast<int32_t>(event.eventType), 0);
    EXPECT_EQ(event.param1.m_type, MetricsValueType::Int64);
    EXPECT_EQ(event.param2.m_int, 0);
    EXPECT_TRUE(event.paramPairs.empty());
}

}  // namespace
}  // namespace Metrics::Testing
