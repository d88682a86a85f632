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

// A literal is text, not the bool it would also convert to; a null pointer is empty text.
TEST(MetricsValueTest, LiteralsAreText) {
    const MetricsValue text("abc");
    EXPECT_EQ(text.m_type, MetricsValueType::String);
    EXPECT_EQ(*text.m_string, "abc");
    const MetricsValue wide(L"w\u00e9");
    EXPECT_EQ(wide.m_type, MetricsValueType::WString);
    EXPECT_EQ(*wide.m_wstring, L"w\u00e9");
    const MetricsValue nullText(static_cast<const char*>(nullptr));
    ASSERT_TRUE(nullText.m_string);
    EXPECT_EQ(*nullText.m_string, "");
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

}  // namespace
}  // namespace Metrics::Testing
