#include <algorithm>

#include "DeliveryThread.h"
#include "support/ChildProcess.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Severity = MetricsManager::LogSeverity;

TEST(HooksTest, ManagerLogsItsLifeToTheLoggingHook) {
    MetricsManager& manager = MetricsManager::GetInstance();
    LogRecorder recorder;
    std::thread::id initThread;
    manager.SetThreadInitFunction([&] { initThread = std::this_thread::get_id(); });
    manager.SetLoggingFunction(recorder.Function());
    ASSERT_EQ(recorder.Lines().size(), 1u);
    EXPECT_EQ(recorder.Lines()[0].severity, Severity::Info);
    EXPECT_EQ(recorder.Lines()[0].key, L"metrics-manager");
    EXPECT_EQ(recorder.Lines()[0].message, "Logging enabled");

    manager.Enable();
    manager.SetBits(~0ULL);
    manager.EmitEvent(std::make_shared<MetricsEvent>());
    manager.WaitUntilWritesFlushed(10000);  // delivery means the thread has started
    EXPECT_TRUE(manager.Disable());

    auto lines = recorder.Lines();
    // The clock's change of source is the thread's to tell, whenever it comes (the switch to the
    // cycle counter, a few milliseconds after the start: within this test on a slow run).
    const auto clockLine = [&](const LogLine& line) {
        return line.message.find("stamping with") != std::string::npos;
    };
    for (const auto& line : lines) {
        if (clockLine(line)) {
            EXPECT_EQ(line.thread, initThread) << line.message;
        }
    }
    lines.erase(std::remove_if(lines.begin(), lines.end(), clockLine), lines.end());
    // The thread's last line is dropped when the shutdown flag is set before it gets there, the
    // usual case; when it is faster, the line comes after Disable's own.
    if (lines.size() == 4) {
        EXPECT_EQ(lines[3].message, "MetricsManager: background shutting down");
        lines.pop_back();
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].message, "MetricsManager: background thread started");
    EXPECT_EQ(lines[1].thread, initThread);  // the init hook ran first, on the same thread
    EXPECT_NE(initThread, std::this_thread::get_id());
    EXPECT_EQ(lines[2].message, "MetricsManager: Queuing shutdown event");
    EXPECT_EQ(lines[2].thread, std::this_thread::get_id());
    for (const auto& line : lines) {
        EXPECT_EQ(line.severity, Severity::Info);
        EXPECT_EQ(line.key, L"metrics-manager");
    }

    EXPECT_FALSE(manager.GetLoggingFunction());
    const size_t before = recorder.Lines().size();
    manager.Log(Severity::Warning, L"late", TStringCore(L"ignored", -1));
    manager.SetLoggingFunction(recorder.Function());
    EXPECT_EQ(recorder.Lines().size(), before);
}

TEST(HooksTest, LogAndCallStackGoToTheirHooks) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetLoggingFunction(nullptr);  // an empty function logs nothing, not even its own line
    manager.Log(Severity::Info, L"key", TStringCore(L"nowhere", -1));

    LogRecorder recorder;
    manager.SetLoggingFunction(recorder.Function());
    manager.Log(Severity::Warning, nullptr, TStringCore(L"no key", -1));
    manager.Log(Severity::Warning, L"my-key", TStringCore(L"text", -1));
    const auto lines = recorder.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].severity, Severity::Warning);
    EXPECT_EQ(static_cast<char>(lines[1].severity), 'w');
    EXPECT_EQ(lines[1].key, L"my-key");
    EXPECT_EQ(lines[1].message, "text");
    EXPECT_TRUE(manager.GetLoggingFunction());

    std::vector<std::wstring> stacks;
    manager.LogCallStack(L"before-install");
    manager.SetLogCallStackFunction([&](const wchar_t* key) { stacks.emplace_back(key); });
    manager.LogCallStack(L"stack-key");
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0], L"stack-key");
    ASSERT_TRUE(manager.GetLogCallStackFunction());
    manager.GetLogCallStackFunction()(L"direct");
    EXPECT_EQ(stacks.size(), 2u);

    MetricsManager::ShutdownAndFlush();
    EXPECT_FALSE(manager.GetLogCallStackFunction());
    manager.LogCallStack(L"after");
    EXPECT_EQ(stacks.size(), 2u);
}

TEST(HooksTest, QueueCounterSeesEveryBatch) {
    MetricsManager& manager = MetricsManager::GetInstance();
    // Owned by the hook: the background thread calls it until the process ends, after this test.
    struct Counts {
        std::mutex mutex;
        std::vector<int> batches;
    };
    auto counts = std::make_shared<Counts>();
    manager.SetQueueCounterUpdateFunction([counts](int count) {
        std::lock_guard<std::mutex> lock(counts->mutex);
        counts->batches.push_back(count);
    });
    manager.Enable();
    manager.SetBits(~0ULL);
    int emitted = 0;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i <= round; ++i) {
            manager.EmitEvent(std::make_shared<MetricsEvent>());
            ++emitted;
        }
        manager.WaitUntilWritesFlushed(10000);
    }
    std::lock_guard<std::mutex> lock(counts->mutex);
    int total = 0;
    for (const int count : counts->batches) {
        EXPECT_GE(count, 1);
        total += count;
    }
    EXPECT_EQ(total, emitted);
}

// The child's part: hooks that throw, on the background thread and on the caller's.
TEST(HooksTest, DISABLED_ThrowingHooksChild) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetThreadInitFunction([] { throw std::runtime_error("init"); });
    manager.SetQueueCounterUpdateFunction([](int) { throw std::bad_alloc(); });
    EXPECT_ANY_THROW(manager.SetLoggingFunction(
        [](Severity, const wchar_t*, const TStringCore&) { throw std::runtime_error("log"); }));
    StartManager();
    auto async = Subscribe(false);
    manager.EmitEvent(TaggedAttribute(0, 1));
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(async->Tags(), std::vector<long long>{1});
    // The thread-init hook, the thread's first line and the batch's count, at least.
    EXPECT_GE(DeliveryThread::SwallowedExceptions(), 3u);
    // Disable's own line throws on this thread, once the shutdown is complete.
    EXPECT_ANY_THROW(manager.Disable());
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_TRUE(manager.Disable());
}

TEST(HooksTest, ThrowingHooksNeitherEndTheProcessNorStopTheManager) {
    EXPECT_EQ(RunThisProgram("HooksTest.DISABLED_ThrowingHooksChild", "QUILLMETRICS_CHILD", "1",
                             std::chrono::seconds(60)),
              0);
}

}  // namespace
}  // namespace Metrics::Testing
