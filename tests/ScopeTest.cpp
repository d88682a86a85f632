#include "support/AllocationHooks.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Type = MetricsEventType;

class ScopeTest : public RecordingTest {};

TEST_F(ScopeTest, UnwantedScopeBuildsNothing) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(0x10000);
    {
        Scope noContext("no context", 0);
        EXPECT_FALSE(noContext.IsOpen());
    }
    Context context(0, Context::Create(true));
    m_events->Clear();
    const size_t before = AllocationCount();
    {
        Scope masked("masked out", 0x20000);
        EXPECT_FALSE(masked.IsOpen());
        masked.Emit("name", "value");
        masked.Close();
    }
    EXPECT_EQ(AllocationCount(), before);
    { Scope neverOpened(0x10000); }
    EXPECT_EQ(m_events->Count(), 0u);
}

// Events go into the thread's buffer without allocating, so a scope keeps emitting and closing
// while memory runs out, until its buffer is full: then an emit throws std::bad_alloc, and a
// destructor that finds no room loses its close, never the host process.
TEST_F(ScopeTest, ScopesWithoutMemoryEmitUntilTheBufferIsFull) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: on Windows the test's replacement operator new does not reach "
                    "allocations made inside the DLLs";
#endif
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBits(~0ULL);
    // The synchronous recorder copies on the starved thread; this one on the background thread.
    const auto recorder = Subscribe(false);
    Context context(0, Context::Create(true));
    {
        Scope scope("starved", 0);
        ASSERT_TRUE(scope.IsOpen());
        manager.WaitUntilWritesFlushed(10000);
        recorder->Clear();
        FailAllocations(true);
    }
    FailAllocations(false);
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(recorder->Types(), std::vector<Type>{Type::ScopeClose});

    long long emitted = 0;
    {
        Scope scope("starved", 0);
        manager.WaitUntilWritesFlushed(10000);
        recorder->Clear();
        FailAllocations(true);
        try {
            for (; emitted < 100000000; ++emitted) {
                scope.Emit(emitted, 0);
            }
        } catch (const std::bad_alloc&) {
        }
    }
    FailAllocations(false);
    manager.WaitUntilWritesFlushed(10000);
    ASSERT_LT(emitted, 100000000) << "a full buffer took events without memory";
    const auto events = recorder->Events();
    ASSERT_GE(events.size(), static_cast<size_t>(emitted));
    for (long long i = 0; i < emitted; ++i) {
        ASSERT_EQ(events[static_cast<size_t>(i)].param1.m_int, i);
    }
    // The close comes through only if the background thread handed a chunk back meanwhile.
    ASSERT_LE(events.size(), static_cast<size_t>(emitted) + 1);
    if (events.size() > static_cast<size_t>(emitted)) {
        EXPECT_EQ(events.back().eventType, Type::ScopeClose);
    }
    { Scope after("after", 0); }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(recorder->Types().back(), Type::ScopeClose);
}

TEST_F(ScopeTest, FirstScopeOpensTheContextScopeThenItself) {
    MetricsManager::GetInstance().SetBits(~0ULL);
    Context context(0, Context::Create(true));
    context.SetName("job");
    const unsigned long long id = context.GetContextId();
    m_events->Clear();

    unsigned long long subject = 0;
    {
        Scope scope("load", 0x40000);
        subject = reinterpret_cast<unsigned long long>(&scope);
        ASSERT_TRUE(scope.IsOpen());
        scope.Emit("rows", 12);
        scope.Emit(static_cast<Type>(99), "host type", 1.5);
        std::list<MetricsCloseScopeActions> actions{static_cast<MetricsCloseScopeActions>(3),
                                                    static_cast<MetricsCloseScopeActions>(-1)};
        scope.SetPostScopeCloseEvents(std::move(actions));
        EXPECT_TRUE(actions.empty());  // NOLINT(bugprone-use-after-move)
    }
    // The context's attributes and its own scope, then this scope; any type passes through.
    EXPECT_EQ(m_events->Rows(),
              (std::vector<std::string>{
                  "Attribute s:'pid' i:" + std::to_string(TSystem::ProcessID()),
                  "Attribute s:'tid' i:" + std::to_string(TSystem::ThreadID()),
                  "Attribute s:'cid' i:" + std::to_string(id), "ScopeOpen s:job i:0",
                  "ScopeOpen s:load i:0", "ScopeEmit s:rows i:12", "99 s:host type d:1.5",
                  "ScopeClose s:load i:0", "ScopeCloseAction s:load i:3",
                  "ScopeCloseAction s:load i:-1"}));
    const auto events = m_events->Events();
    EXPECT_EQ(events[3].bits, 0u);
    EXPECT_NE(events[3].subjectId, subject);
    for (size_t i = 4; i < events.size(); ++i) {
        EXPECT_EQ(events[i].subjectId, subject);
        EXPECT_EQ(events[i].contextId, id);
        EXPECT_EQ(events[i].bits, 0x40000u);
    }

    // Only the first scope of a context opens the context scope.
    m_events->Clear();
    { Scope second("second", 0); }
    EXPECT_EQ(m_events->Types(), (std::vector<Type>{Type::ScopeOpen, Type::ScopeClose}));
}

TEST_F(ScopeTest, ScopeKeepsTheContextItOpenedIn) {
    MetricsManager::GetInstance().SetBits(~0ULL);
    Context first(0, Context::Create(true));
    Scope scope("spanning", 0);
    Context second(0, Context::Create(true));  // now current
    m_events->Clear();
    scope.Emit("k", "v");
    scope.Close();
    scope.Close();  // closes once
    EXPECT_FALSE(scope.IsOpen());
    const auto events = m_events->Events();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& event : events) {
        EXPECT_EQ(event.contextId, first.GetContextId());
    }

    // A closed scope reopens with the current context and its actions set while closed.
    scope.SetPostScopeCloseEvents({static_cast<MetricsCloseScopeActions>(8)});
    m_events->Clear();
    scope.OpenImpl(MetricsValue("again"));
    scope.Close();
    const auto reopened = m_events->Events();
    ASSERT_EQ(reopened.size(), 7u);  // second's context scope (4 events), open, close, action
    EXPECT_EQ(Row(reopened.back()), "ScopeCloseAction s:again i:8");
    EXPECT_EQ(reopened.back().contextId, second.GetContextId());

    // The actions went with that close: closing again, or reopening without new ones, reports none.
    m_events->Clear();
    scope.Close();
    scope.OpenImpl(MetricsValue("third"));
    scope.Close();
    EXPECT_EQ(m_events->Types(), (std::vector<Type>{Type::ScopeOpen, Type::ScopeClose}));
}

TEST_F(ScopeTest, PairsTravelWithTheOpenEvent) {
    MetricsManager::GetInstance().SetBits(~0ULL);
    MetricsValuePairs pairs;
    pairs.emplace_back(MetricsValue("a"), MetricsValue(1));
    pairs.emplace_back(MetricsValue("b"), MetricsValue(true));
    {
        Scope noContext(0);
        MetricsValue name("kept");
        noContext.OpenImpl(std::move(name));
        EXPECT_EQ(Text(name), "kept");  // NOLINT(bugprone-use-after-move)
        Scope pairsNoContext("pairs", std::move(pairs), 0);
        EXPECT_EQ(pairs.size(), 2u);  // NOLINT(bugprone-use-after-move)
    }
    Context context(0, Context::Create(true));
    context.OpenScope();
    m_events->Clear();
    {
        Scope scope("with pairs", std::move(pairs), 0x10000);
        EXPECT_TRUE(pairs.empty());  // NOLINT(bugprone-use-after-move)
        MetricsValuePairs more;
        more.emplace_back(MetricsValue("c"), MetricsValue(2.0));
        scope.MultiEmit(Type::ScopeEmit, "multi", std::move(more));
    }
    EXPECT_EQ(m_events->Rows(),
              (std::vector<std::string>{"ScopeOpen s:with pairs i:0 [s:a=i:1 s:b=b:1]",
                                        "ScopeEmit s:multi i:0 [s:c=d:2]",
                                        "ScopeClose s:with pairs i:0"}));
}

TEST_F(ScopeTest, DialogRecordsItsNameWhileShown) {
    MetricsManager& manager = MetricsManager::GetInstance();
    { ModalDialogMetrics noMask("Options"); }  // mask 0: nothing at all
    manager.SetBitsAbsolute(0x10000);
    { ModalDialogMetrics noContext; }
    EXPECT_EQ(m_events->Count(), 0u);

    Context context(0, Context::Create(true));
    context.OpenScope();
    m_events->Clear();
    {
        ModalDialogMetrics messageBox;
        ModalDialogMetrics unnamed(nullptr);
        ModalDialogMetrics named("Options");
        named.Close();
    }
    const std::string open = "ScopeOpen s:Dialog i:0";
    const std::string close = "ScopeClose s:Dialog i:0";
    const std::string name = "ScopeEmit s:dlg-name s:";
    EXPECT_EQ(m_events->Rows(),
              (std::vector<std::string>{open, name + "MessageBox", open, name + "MessageBox", open,
                                        name + "Options", close, close, close}));
    const auto events = m_events->Events();
    for (const auto& event : events) {
        EXPECT_EQ(event.bits, 2u);
    }
    // named closed first (explicitly, once), then the others in reverse order of construction.
    EXPECT_EQ(events[6].subjectId, events[4].subjectId);
    EXPECT_EQ(events[7].subjectId, events[2].subjectId);
    EXPECT_EQ(events[8].subjectId, events[0].subjectId);
}

}  // namespace
}  // namespace Metrics::Testing
