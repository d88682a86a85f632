#include <algorithm>

#include "support/AllocationHooks.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

class AttributeTest : public RecordingTest {};

TEST_F(AttributeTest, TestBitsAndContextNeedsCategoriesAndAContext) {
    MetricsManager::GetInstance().SetBitsAbsolute(0x10000);
    EXPECT_FALSE(TestBitsAndContext(0x10000));  // no context
    Context context(0, Context::Create(true));
    EXPECT_TRUE(TestBitsAndContext(0x10000));
    std::thread([] { EXPECT_FALSE(TestBitsAndContext(0x10000)); }).join();  // no context there

    // A refused category costs no allocation, and the inline front end builds nothing.
    const size_t before = AllocationCount();
    EXPECT_FALSE(TestBitsAndContext(0x20000));
    Attribute("a name that would need a heap string", 1.5, 0x20000);
    EXPECT_EQ(AllocationCount(), before);
}

// Names are lent to the library for the call: every kind and length of name arrives whole, at a
// synchronous consumer (which gets a string of its own) and at an asynchronous one (from the
// queued record: copied in up to 64 bytes, shared beyond). Without a synchronous consumer, an
// attribute with a lent name of up to 64 bytes and a number allocates nothing on the emitting
// thread.
TEST_F(AttributeTest, LentNamesArriveWholeAndCostNoAllocation) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBits(~0ULL);
    const auto async = Subscribe(false);
    Context context(0, Context::Create(true));
    { Scope first("opens the context's own scope", 0); }
    const std::string exact(64, 'e');
    const std::string over(65, 'o');
    const std::string huge(300, 'h');
    const std::string withNul("a\0b", 3);
    const char* none = nullptr;
    manager.WaitUntilWritesFlushed(10000);
    m_events->Clear();
    async->Clear();
    Attribute("literal", 1, 0);
    Attribute(exact.c_str(), 2, 0);
    Attribute(over, 3, 0);
    { Scope scope(huge, 0); }
    Attribute(withNul, 4, 0);
    Attribute(none, 5, 0);
    manager.WaitUntilWritesFlushed(10000);
    const std::vector<std::string> expected = {"literal", exact, over, huge, huge, withNul, ""};
    for (const auto& recorder : {m_events, async}) {
        std::vector<std::string> names;
        for (const auto& event : recorder->Events()) {
            names.push_back(Text(event.param1));
        }
        EXPECT_EQ(names, expected);
    }

    manager.RemoveConsumer(AsListener(m_events));
    manager.RemoveConsumer(AsListener(async));
    for (int i = 0; i < 4000; ++i) {  // 64 KiB chunks filled and handed back for reuse
        Attribute("rows", i, 0);
    }
    manager.WaitUntilWritesFlushed(10000);
    const size_t before = AllocationCount();
    for (int i = 0; i < 100; ++i) {
        Attribute("rows", i, 0);
        Attribute(exact, i, 0);
    }
    EXPECT_EQ(AllocationCount(), before);
}

TEST_F(AttributeTest, AttributesAreFiledUnderTheCurrentContext) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBits(~0ULL);

    MetricsValue name("orphan");
    MetricsValue value(5);
    AttributeImpl(std::move(name), std::move(value), 0);  // no context: arguments untouched
    EXPECT_EQ(Text(name), "orphan");                      // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(value.m_int, 5);                            // NOLINT(bugprone-use-after-move)
    MetricsValuePairs pairs;
    pairs.emplace_back(MetricsValue("k"), MetricsValue(1));
    MultiAttributeImpl(MetricsValue("multi"), std::move(pairs), 0);
    EXPECT_EQ(pairs.size(), 1u);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(m_events->Count(), 0u);

    Context outer(0, Context::Create(true));
    Context inner(outer.GetContextId(), Context::Create(outer.GetContextId()));
    m_events->Clear();
    AttributeImpl(std::move(name), std::move(value), 0x4000);
    EXPECT_EQ(name.m_type, MetricsValueType::Int64);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(name.m_string);                      // moved into the event
    MultiAttributeImpl(MetricsValue("multi"), std::move(pairs), 0x8000);
    EXPECT_TRUE(pairs.empty());  // NOLINT(bugprone-use-after-move)
    inner.DetachFromThread();
    Attribute("after", true, 0);

    EXPECT_EQ(m_events->Rows(), (std::vector<std::string>{"Attribute s:orphan i:5",
                                                          "MultiAttribute s:multi i:0 [s:k=i:1]",
                                                          "Attribute s:after b:1"}));
    const auto events = m_events->Events();
    EXPECT_EQ(events[0].contextId, inner.GetContextId());
    EXPECT_EQ(events[0].subjectId, 0u);
    EXPECT_EQ(events[0].bits, 0x4000u);
    EXPECT_EQ(events[1].bits, 0x8000u);
    EXPECT_EQ(events[2].contextId, outer.GetContextId());
}

TEST_F(AttributeTest, ThreadStacksAndContextIds) {
    MetricsManager& manager = MetricsManager::GetInstance();
    const auto stack = manager.GetThreadContext();
    EXPECT_EQ(stack, manager.GetThreadContext());
    std::shared_ptr<MetricsThreadContext> other;
    std::thread([&] { other = manager.GetThreadContext(); }).join();
    EXPECT_NE(stack, other);
    EXPECT_EQ(manager.GetCurrentThreadContextId(), 0u);

    EXPECT_EQ(manager.GetNextContextId(), 1u);
    EXPECT_EQ(manager.GetNextContextId(), 2u);
    std::vector<unsigned long long> ids(4000);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                ids[t * 1000 + static_cast<size_t>(i)] = manager.GetNextContextId();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(ids.front(), 3u);
    EXPECT_EQ(ids.back(), 4002u);

    manager.SetTLSDiagnosticType(MetricsManager::TLSDiagnosticType::Log);
    EXPECT_EQ(manager.GetTLSDiagnosticType(), MetricsManager::TLSDiagnosticType::Log);
}

// A thread that ends leaves its slot behind, and the system may hand its id to a later thread: that
// thread must start with nothing attached, even while the contexts the ended one had attached,
// one above the other, live on; also when the thread asked a manager of the host's own for its
// stack first.
TEST_F(AttributeTest, NewThreadStartsWithAnEmptyStack) {
    MetricsManager host;
    std::vector<std::unique_ptr<Context>> keptAlive;
    for (int i = 0; i < 20; ++i) {
        std::shared_ptr<MetricsThreadContext> stack;
        std::thread([&] {
            host.GetThreadContext();
            EXPECT_EQ(MetricsManager::GetInstance().GetCurrentThreadContextId(), 0u)
                << "thread " << i << " inherited a context";
            for (int nested = 0; nested < 2; ++nested) {
                keptAlive.push_back(std::make_unique<Context>(0, Context::Create(true)));
            }
            EXPECT_NE(MetricsManager::GetInstance().GetCurrentThreadContextId(), 0u);
            stack = MetricsManager::GetInstance().GetThreadContext();
        }).join();
        // The slot a later thread with this id would get is empty, however the ids come.
        EXPECT_EQ(stack->NumEntries(), 0u) << "thread " << i;
    }
}

}  // namespace
}  // namespace Metrics::Testing
