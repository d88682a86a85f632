#include "ContextShared.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

class ContextRecordTest : public RecordingTest {};

TEST_F(ContextRecordTest, DescriptionNamesTheContext) {
    ContextShared record(0, 12);
    EXPECT_EQ(record.Describe().toStdString(), "Context(name=cxt,id=12,parent=0)");
    record.SetName("load,%1 \xC3\xA9");
    EXPECT_EQ(record.Describe().toStdString(), "Context(name=load,%1 \xC3\xA9,id=12,parent=0)");
    ContextShared child(18446744073709551615ULL, 13);
    child.SetName("");
    EXPECT_EQ(child.Describe().toStdString(), "Context(name=,id=13,parent=18446744073709551615)");
}

TEST_F(ContextRecordTest, ThreadStackAttachesReordersAndPrunesFromTheTop) {
    MetricsThreadContext stack;
    EXPECT_FALSE(stack.GetCurrentContext());
    EXPECT_EQ(stack.GetMetricsContextId(), 0u);
    EXPECT_EQ(stack.GetParentMetricsContextId(), 0u);
    EXPECT_EQ(stack.NumEntries(), 0u);

    auto a = std::make_shared<ContextShared>(0, 1);
    auto b = std::make_shared<ContextShared>(1, 2);
    auto c = std::make_shared<ContextShared>(2, 3);
    stack.AttachContext(a);
    stack.AttachContext(b);
    stack.AttachContext(a);  // back to the top, not a second entry
    EXPECT_EQ(stack.NumEntries(), 2u);
    EXPECT_EQ(stack.GetCurrentContext(), a);
    EXPECT_EQ(stack.GetParentMetricsContextId(), 0u);  // a root on top
    stack.AttachContext(c);
    stack.DetachContext(b);  // from the middle
    stack.DetachContext(b);  // not attached: nothing
    EXPECT_EQ(stack.NumEntries(), 2u);
    EXPECT_EQ(stack.GetMetricsContextId(), 3u);
    EXPECT_EQ(stack.GetParentMetricsContextId(), 2u);
    EXPECT_TRUE(stack.IsAttached(a));
    EXPECT_FALSE(stack.IsAttached(b));

    // A dead entry on top goes at the next look; one below a live top stays.
    stack.AttachContext(b);  // order: a, c, b
    a.reset();
    EXPECT_EQ(stack.NumEntries(), 3u);
    EXPECT_EQ(stack.GetMetricsContextId(), 2u);
    EXPECT_EQ(stack.NumEntries(), 3u);
    b.reset();
    EXPECT_EQ(stack.NumEntries(), 3u);
    EXPECT_EQ(stack.GetMetricsContextId(), 3u);
    EXPECT_EQ(stack.NumEntries(), 2u);
    c.reset();
    EXPECT_FALSE(stack.GetCurrentContext());
    EXPECT_EQ(stack.NumEntries(), 0u);
    EXPECT_EQ(stack.GetMetricsContextId(), 0u);
}

TEST_F(ContextRecordTest, StackHoldsItsRecordsOnlyWeakly) {
    MetricsManager::GetInstance().SetBits(~0ULL);
    const auto stack = MetricsManager::GetInstance().GetThreadContext();
    auto record = std::make_shared<ContextShared>(0, 21);
    const ContextShared* const oldAddress = record.get();
    stack->AttachContext(record);
    const std::weak_ptr<ContextShared> watch = record;
    record.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(m_events->Types().back(), MetricsEventType::ContextClose);
    // The stack's weak entry keeps the dead record's storage, so a new record can never take its
    // address and be mistaken for the dead entry.
    auto again = std::make_shared<ContextShared>(0, 22);
    EXPECT_NE(again.get(), oldAddress);
    EXPECT_FALSE(stack->IsAttached(again));
    stack->AttachContext(again);
    EXPECT_EQ(stack->GetMetricsContextId(), 22u);
    // Once a front end's look has pruned the dead entries, their storage goes: a record that
    // takes such an address is still a stranger to the stack.
    again.reset();
    EXPECT_FALSE(TestBitsAndContext(0));
    auto third = std::make_shared<ContextShared>(0, 23);
    EXPECT_FALSE(stack->IsAttached(third));
    stack->AttachContext(third);
    EXPECT_EQ(stack->GetMetricsContextId(), 23u);
    // The same once the front ends have found the thread's stack (their later looks take another
    // way than the first): a dead record on top is no current context.
    EXPECT_TRUE(TestBitsAndContext(0));
    third.reset();
    EXPECT_FALSE(TestBitsAndContext(0));
}

TEST_F(ContextRecordTest, DisabledCurrentContextRefusesTheTestButNotTheImpl) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBits(~0ULL);
    auto disabled = std::make_shared<ContextShared>(3, 0);
    manager.GetThreadContext()->AttachContext(disabled);
    EXPECT_FALSE(TestBitsAndContext(0));
    {
        Scope scope("refused", 0);
        EXPECT_FALSE(scope.IsOpen());
    }
    EXPECT_EQ(m_events->Count(), 0u);
    // Called directly, without the test, the attribute is filed under id 0.
    AttributeImpl(MetricsValue("direct"), MetricsValue(1), 0);
    const auto events = m_events->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].contextId, 0u);
    EXPECT_EQ(events[0].eventType, MetricsEventType::Attribute);
}

}  // namespace
}  // namespace Metrics::Testing
