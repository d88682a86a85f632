#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Type = MetricsEventType;

class HandOffContextTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        MetricsManager::GetInstance().SetBits(~0ULL);
    }
    size_t Count(Type type) const { return OfType(m_events->Events(), type).size(); }
};

TEST_F(HandOffContextTest, NothingToOpenWithoutACurrentContext) {
    SharedMetricsContext shared;
    UniqueMetricsContext unique;
    EXPECT_FALSE(shared.Open());
    EXPECT_FALSE(unique.Open());
    std::thread([&] { EXPECT_FALSE(shared.Open()); }).join();

    Context root(0, Context::Create(true));
    SharedMetricsContext notCreated(false);
    UniqueMetricsContext notPending(false);
    EXPECT_FALSE(notCreated.Open());
    EXPECT_FALSE(notPending.Open());
    EXPECT_EQ(m_events->Count(), 2u);  // only the root's create and open
}

TEST_F(HandOffContextTest, SharedContextHandsChildrenToOtherThreads) {
    Context parent(0, Context::Create(true));
    const unsigned long long parentId = parent.GetContextId();
    auto shared = std::make_unique<SharedMetricsContext>();
    EXPECT_EQ(Current(), parentId);  // made here, but not attached here
    const auto afterConstruction = m_events->Events();
    ASSERT_EQ(afterConstruction.size(), 4u);
    EXPECT_EQ(afterConstruction[2].eventType, Type::ContextCreate);
    EXPECT_EQ(afterConstruction[3].eventType, Type::ContextOpen);
    EXPECT_EQ(afterConstruction[3].contextId, parentId);
    const unsigned long long sharedId = afterConstruction[3].subjectId;

    const SharedMetricsContext copy(*shared);
    std::vector<unsigned long long> childIds(2);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < 2; ++i) {
        workers.emplace_back([&, i] {
            const auto child = copy.Open();
            ASSERT_TRUE(child);
            EXPECT_EQ(child->GetParentContextId(), sharedId);
            EXPECT_EQ(Current(), child->GetContextId());
            childIds[i] = child->GetContextId();
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_NE(childIds[0], childIds[1]);
    EXPECT_EQ(Count(Type::ContextClose), 2u);  // the children
    shared.reset();
    EXPECT_EQ(Count(Type::ContextClose), 2u);  // a copy still holds the shared context
}

TEST_F(HandOffContextTest, UniqueContextOpensOnceWherePicked) {
    Context parent(0, Context::Create(true));
    UniqueMetricsContext pending;
    EXPECT_EQ(Current(), parent.GetContextId());
    EXPECT_EQ(Count(Type::ContextCreate), 2u);

    UniqueMetricsContext copy(pending);  // copies duplicate the pending context
    unsigned long long openedId = 0;
    std::thread([&] {
        const auto context = pending.Open();
        ASSERT_TRUE(context);
        openedId = context->GetContextId();
        EXPECT_EQ(context->GetParentContextId(), parent.GetContextId());
        EXPECT_EQ(Current(), openedId);
        EXPECT_FALSE(pending.Open());
    }).join();
    const auto again = copy.Open();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetContextId(), openedId);
    EXPECT_EQ(Count(Type::ContextCreate), 2u);
    EXPECT_EQ(Count(Type::ContextOpen), 3u);

    UniqueMetricsContext source;
    UniqueMetricsContext target;
    const size_t opensBefore = Count(Type::ContextOpen);
    target = source;  // hands over; target's own pending context is dropped unopened
    EXPECT_FALSE(source.Open());
    EXPECT_TRUE(target.Open());
    EXPECT_EQ(Count(Type::ContextOpen), opensBefore + 1);
}

TEST_F(HandOffContextTest, AfterShutdownOpenGivesADisabledContext) {
    Context parent(0, Context::Create(true));
    const SharedMetricsContext shared;
    UniqueMetricsContext unique;
    MetricsManager::ShutdownAndFlush();
    const auto child = shared.Open();
    ASSERT_TRUE(child);
    EXPECT_FALSE(child->IsEnabled());
    EXPECT_FALSE(SharedMetricsContext().Open());
    EXPECT_FALSE(UniqueMetricsContext().Open());
}

}  // namespace
}  // namespace Metrics::Testing
