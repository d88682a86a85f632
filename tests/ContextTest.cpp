#if defined(_WIN32)
#include <windows.h>
#endif

#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Type = MetricsEventType;
using Diagnostic = MetricsManager::TLSDiagnosticType;

// Records every event synchronously, and the reports of invalid context use.
class ContextTest : public RecordingTest {
protected:
    void SetUp() override {
        MetricsManager& manager = MetricsManager::GetInstance();
        manager.SetLoggingFunction(m_log.Function());
        manager.SetLogCallStackFunction(m_log.CallStackFunction());
        RecordingTest::SetUp();
        manager.SetBits(~0ULL);
    }
    void TearDown() override { MetricsManager::ShutdownAndFlush(); }

    static void Diagnose(Diagnostic mode) {
        MetricsManager::GetInstance().SetTLSDiagnosticType(mode);
    }
    // The keys of the reports so far, which are then forgotten.
    std::vector<std::wstring> TakeReports() {
        std::vector<std::wstring> keys;
        for (const auto& report : m_log.Reports()) {
            keys.push_back(report.key);
        }
        m_log.Clear();
        return keys;
    }

    LogRecorder m_log;
};

const std::wstring kAttach = L"quillmetrics-invalid-attach-attempted";
const std::wstring kDetach = L"quillmetrics-invalid-detach-attempted";
using Keys = std::vector<std::wstring>;

TEST_F(ContextTest, CreateAnnouncesIdsAndHandlesOpenAndClose) {
    EXPECT_EQ(Context::Create(0ULL), 0u);
    EXPECT_EQ(Context::Create(false), 0u);  // no current context
    {
        Context disabled(5, 0);
        EXPECT_FALSE(disabled.IsEnabled());
        EXPECT_EQ(disabled.GetContextId(), 0u);
        EXPECT_EQ(disabled.GetParentContextId(), 0u);
        disabled.Emit(MetricsValue("x"), MetricsValue(1));
        disabled.AttachToThread();
        EXPECT_EQ(Current(), 0u);
    }
    EXPECT_EQ(m_events->Count(), 0u);

    const unsigned long long rootId = Context::Create(true);
    {
        Context root(0, rootId);
        EXPECT_EQ(Current(), rootId);
        const unsigned long long childId = Context::Create(false);
        EXPECT_EQ(Context::Create(rootId), childId + 1);
        Context child(rootId, childId);
        EXPECT_EQ(Current(), childId);
        EXPECT_EQ(child.GetParentContextId(), rootId);
        child.Close();
        EXPECT_EQ(Current(), rootId);
    }
    EXPECT_EQ(Current(), 0u);
    const auto events = m_events->Events();
    const std::vector<Type> expected = {Type::ContextCreate, Type::ContextOpen, Type::ContextCreate,
                                        Type::ContextCreate, Type::ContextOpen, Type::ContextClose,
                                        Type::ContextClose};
    ASSERT_EQ(m_events->Types(), expected);
    EXPECT_EQ(Row(events[0]), "ContextCreate i:0 i:" + std::to_string(rootId));
    EXPECT_EQ(events[0].subjectId, rootId);
    EXPECT_EQ(events[0].contextId, 0u);
    EXPECT_EQ(events[2].contextId, rootId);
    EXPECT_EQ(events[6].subjectId, rootId);
}

TEST_F(ContextTest, CopiesShareTheRecordAndItsFirstCloseEndsIt) {
    auto original = std::make_unique<Context>(0, Context::Create(true));
    const unsigned long long id = original->GetContextId();
    Context copy(*original);
    original.reset();  // closes the shared record
    EXPECT_EQ(m_events->Types().back(), Type::ContextClose);
    EXPECT_TRUE(copy.IsEnabled());
    EXPECT_EQ(copy.GetContextId(), id);
    copy.AttachToThread();  // closed: nothing
    EXPECT_EQ(Current(), 0u);
    copy.DetachFromThread();
    copy.Close();
    EXPECT_EQ(m_events->Count(), 3u);  // one create, one open, one close

    Context target(0, Context::Create(true));
    const unsigned long long targetId = target.GetContextId();
    target = copy;  // the previous record is only released: not closed, not detached
    EXPECT_EQ(target.GetContextId(), id);
    EXPECT_EQ(Current(), 0u);  // its last reference went, so the stack lost it
    EXPECT_EQ(m_events->Types().back(), Type::ContextClose);
    EXPECT_EQ(m_events->Events().back().subjectId, targetId);
}

// Each handle counts its own attaches on its thread. A handle that detaches a record another
// handle attached goes below zero, and its counter then reads as "on another thread".
TEST_F(ContextTest, AttachCountsPerHandle) {
    Context a(0, Context::Create(true));
    Context b(0, Context::Create(true));
    a.AttachToThread();
    EXPECT_EQ(Current(), a.GetContextId());
    a.AttachToThread();
    b.DetachFromThread();
    a.DetachFromThread();  // a counted once, so one detach takes it off
    EXPECT_EQ(Current(), 0u);
    a.DetachFromThread();  // not attached, counter 0: nothing, not reported
    Diagnose(Diagnostic::Log);
    a.DetachFromThread();
    EXPECT_EQ(TakeReports(), Keys{});

    Context first(0, Context::Create(true));
    first.DetachFromThread();  // counter 0
    Context second(first);     // counter 0, copied
    first.AttachToThread();
    second.DetachFromThread();  // attached here: detached, counter -1
    EXPECT_EQ(Current(), 0u);
    EXPECT_EQ(TakeReports(), Keys{});
    second.AttachToThread();  // not here, counter not 0: reported, attached all the same
    EXPECT_EQ(Current(), first.GetContextId());
    EXPECT_EQ(TakeReports(), Keys{kAttach});
    second.DetachFromThread();
    EXPECT_EQ(Current(), 0u);
}

// A cross-thread attach in Log mode is reported, with the context's description, and carried
// out; in LogCallStack mode both keys go to the call-stack hook; in Throw mode the attach is
// refused, and an invalid detach never throws.
TEST_F(ContextTest, CrossThreadUseIsReportedAsTheModeSays) {
    Diagnose(Diagnostic::Log);
    Context context(0, Context::Create(true));
    context.SetName("shared work");
    const unsigned long long id = context.GetContextId();
    std::thread([&] {
        context.AttachToThread();  // counter 1 and not here: invalid, reported, still attached
        EXPECT_EQ(Current(), id);
        context.DetachFromThread();
        EXPECT_EQ(Current(), 0u);
    }).join();
    EXPECT_EQ(Current(), id);
    context.DetachFromThread();
    EXPECT_EQ(Current(), 0u);
    const auto reports = m_log.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].key, kAttach);
    EXPECT_NE(reports[0].message.find("id=" + std::to_string(id)), std::string::npos);
    m_log.Clear();

    Diagnose(Diagnostic::LogCallStack);
    Context traced(0, Context::Create(true));
    std::thread([&] {
        traced.AttachToThread();
        traced.DetachFromThread();
        traced.DetachFromThread();  // now neither here nor counted as here
    }).join();
    const auto stacks = m_log.Reports();
    ASSERT_EQ(stacks.size(), 2u);
    EXPECT_EQ(stacks[0].key, kAttach);
    EXPECT_EQ(stacks[1].key, kDetach);
    EXPECT_EQ(stacks[1].message, "");
    m_log.Clear();

    Diagnose(Diagnostic::Throw);
    Context refused(0, Context::Create(true));
    std::thread([&] {
        try {
            refused.AttachToThread();
            ADD_FAILURE() << "no exception";
        } catch (const QuillException& e) {
            EXPECT_EQ(e.File(), "..\\quillmetrics\\MetricsContext");
            EXPECT_EQ(e.Line(), 239);
            EXPECT_EQ(e.Expression(), "validAttachDetachState");
        }
        EXPECT_EQ(Current(), 0u);    // not attached
        refused.DetachFromThread();  // an invalid detach never throws
    }).join();
    refused.DetachFromThread();  // the counter was unchanged: this detach is the valid one
    EXPECT_EQ(Current(), traced.GetContextId());
    EXPECT_EQ(TakeReports(), Keys{});
}

TEST_F(ContextTest, DestroyedOnTheWrongThreadIsReportedAndClosed) {
    Diagnose(Diagnostic::Log);
    auto context = std::make_unique<Context>(0, Context::Create(true));
    std::thread([&] { context.reset(); }).join();
    EXPECT_EQ(TakeReports(), Keys{kDetach});
    EXPECT_EQ(m_events->Types().back(), Type::ContextClose);
    EXPECT_EQ(Current(), 0u);  // the entry left on this thread's stack went with the record
}

// Without a diagnostic mode (None, or a value that names none) a cross-thread attach is carried
// out silently and counted: the counter says the record is on two threads.
TEST_F(ContextTest, UnreportedCrossThreadAttachIsStillCounted) {
    for (const auto mode : {Diagnostic::None, static_cast<Diagnostic>(7)}) {
        Diagnose(mode);
        Context context(0, Context::Create(true));
        const unsigned long long id = context.GetContextId();
        std::thread([&] {
            context.AttachToThread();
            EXPECT_EQ(Current(), id);
            context.DetachFromThread();
        }).join();
        EXPECT_EQ(TakeReports(), Keys{});
        EXPECT_EQ(Current(), id);
        // Counted: the handle still has the record on this thread, so a detach elsewhere is one
        // the Log mode reports.
        Diagnose(Diagnostic::Log);
        std::thread([&] { context.DetachFromThread(); }).join();
        EXPECT_EQ(TakeReports(), Keys{kDetach});
        context.DetachFromThread();
        EXPECT_EQ(Current(), 0u);
    }
}

// The context's own scope opens before its first emit, once; renaming does not rename it. A
// context closed before anything opened that scope ends without a scope close.
TEST_F(ContextTest, ContextScopeOpensOnceBeforeTheFirstEmit) {
    Context idle(0, Context::Create(true));
    idle.SetName("idle");
    idle.Close();
    idle.Emit(MetricsValue("k"), MetricsValue(1));  // closed: opens nothing now
    EXPECT_EQ(m_events->Types(),
              (std::vector<Type>{Type::ContextCreate, Type::ContextOpen, Type::ContextClose}));

    Context context(0, Context::Create(true));
    context.SetName("ctx");
    m_events->Clear();
    context.Emit(MetricsValue("k"), MetricsValue(1));
    context.OpenScope();
    context.SetName("renamed");
    context.Emit(MetricsValue("k"), MetricsValue(2));
    context.AddAttribute("name", "value");
    context.Close();
    context.Emit(MetricsValue("k"), MetricsValue(3));  // closed: nothing
    context.OpenScope();

    const auto rows = m_events->Rows();
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(
        std::vector<std::string>(rows.begin() + 3, rows.end()),
        (std::vector<std::string>{"ScopeOpen s:ctx i:0", "ScopeEmit s:k i:1", "ScopeEmit s:k i:2",
                                  "Attribute s:name s:value", "ScopeClose s:ctx i:0",
                                  "ContextClose i:0 i:" + std::to_string(context.GetContextId())}));
    EXPECT_EQ(m_events->Events()[6].bits, 0u);
}

// A context scope that cannot open (nothing enabled, or a name of 10,000 bytes or more) is not
// tried again, or is refused again: the context records only its lifecycle.
TEST_F(ContextTest, ContextScopeThatCannotOpenLeavesTheLifecycle) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetBitsAbsolute(0);
    Context context(0, Context::Create(true));
    context.Emit(MetricsValue("k"), MetricsValue(1));  // the scope is made but cannot open
    manager.SetBits(~0ULL);
    context.Emit(MetricsValue("k"), MetricsValue(2));  // and is not tried again
    context.SetName("");
    Context other(0, Context::Create(true));
    other.SetName("");
    other.OpenScope();
    const auto events = m_events->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(Row(events.back()), "ScopeOpen s: i:0");  // an empty name opens an empty-named scope
    EXPECT_EQ(OfType(events, Type::ScopeEmit).size(), 0u);

    for (const size_t length : {9999u, 10000u}) {
        m_events->Clear();
        {
            Context named(0, Context::Create(true));
            const std::string name(length, 'n');
            named.SetName(name.c_str());
            named.Emit(MetricsValue("k"), MetricsValue(1));
            named.Emit(MetricsValue("k"), MetricsValue(2));  // tried again, refused again
        }
        const auto types = m_events->Types();
        if (length < 10000) {
            EXPECT_EQ(types.size(), 10u);
            EXPECT_EQ(OfType(m_events->Events(), Type::ScopeEmit).size(), 2u);
        } else {
            EXPECT_EQ(types, (std::vector<Type>{Type::ContextCreate, Type::ContextOpen,
                                                Type::ContextClose}));
        }
    }
}

#if defined(_WIN32)
// A fiber that used the library may be deleted while its thread runs on: the thread keeps its
// contexts, and they go when the thread ends.
TEST_F(ContextTest, DeletedFiberLeavesTheThreadsContexts) {
    struct Shared {
        void* main = nullptr;
        std::unique_ptr<Context> context;
        unsigned long long id = 0;
    } shared;
    std::shared_ptr<MetricsThreadContext> stack;
    std::thread([&] {
        shared.main = ConvertThreadToFiber(nullptr);
        ASSERT_NE(shared.main, nullptr);
        void* fiber = CreateFiber(
            0,
            [](void* data) {
                auto& state = *static_cast<Shared*>(data);
                state.context = std::make_unique<Context>(0, Context::Create(true));
                state.id = Current();
                SwitchToFiber(state.main);
            },
            &shared);
        ASSERT_NE(fiber, nullptr);
        SwitchToFiber(fiber);
        DeleteFiber(fiber);
        EXPECT_NE(shared.id, 0u);
        EXPECT_EQ(Current(), shared.id);
        stack = MetricsManager::GetInstance().GetThreadContext();
        EXPECT_EQ(stack->NumEntries(), 1u);
    }).join();
    ASSERT_TRUE(stack);
    EXPECT_EQ(stack->NumEntries(), 0u);  // emptied when the thread ended
}
#endif

}  // namespace
}  // namespace Metrics::Testing
