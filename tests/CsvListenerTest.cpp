#if !defined(_WIN32)
#include <malloc.h>
#endif

#include <algorithm>
#include <sstream>

#include "support/AllocationHooks.h"
#include "support/Files.h"
#include "support/RecordingListener.h"
#include "support/StressSupport.h"

namespace Metrics::Testing {
namespace {

using Listener = MetricsRawClient::Listener;
using CsvPtr = RefCntPtr<Listener, RefCntObject>;

std::shared_ptr<MetricsEvent> MakeEvent(MetricsValue first, MetricsValue second) {
    auto event = std::make_shared<MetricsEvent>();
    event->eventType = MetricsEventType::Attribute;
    event->contextId = 7;
    event->param1 = std::move(first);
    event->param2 = std::move(second);
    return event;
}

// Through the manager, every event is one line, flushed as it is written: readable while the
// listener is still open. A full disk loses lines quietly, and the consumers behind the failing
// one get everything.
TEST(CsvListenerTest, RegisteredListenerWritesOneLinePerEvent) {
    const TempFile path("listener");
    MetricsManager& manager = StartManager();
    const CsvPtr listener(new Listener(path));
    ASSERT_TRUE(manager.AddConsumer(AsListener(listener), ~0ULL, false));
    manager.EmitEvent(MakeEvent(MetricsValue("name"), MetricsValue(-5)));
    manager.EmitEvent(MakeEvent(MetricsValue("second"), MetricsValue(true)));
    manager.WaitUntilWritesFlushed(10000);
    const std::vector<std::string> rows = Lines(ReadFile(path));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].find(",7,8,name,-5"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find(",7,8,second,true"), std::string::npos) << rows[1];

    const CsvPtr full(new Listener("/dev/full"));
    ASSERT_TRUE(manager.AddConsumer(AsListener(full), ~0ULL, false));
    auto witness = Subscribe(false);
    for (int i = 0; i < 50; ++i) {
        manager.EmitEvent(MakeEvent(MetricsValue("line"), MetricsValue(i)));
    }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(witness->Count(), 50u);
    full->OnEvent(*MakeEvent(MetricsValue("direct"), MetricsValue(1)));
}

// The file is a text file: CR LF on Windows, LF elsewhere, and never a mix; a line break inside a
// value never ends a line.
TEST(CsvListenerTest, LinesEndTheSystemsWay) {
    const TempFile path("lineends");
    {
        const CsvPtr listener(new Listener(path));
        listener->OnEvent(*MakeEvent(MetricsValue("one"), MetricsValue(1)));
        listener->OnEvent(*MakeEvent(MetricsValue("two\nlines"), MetricsValue(2)));
    }
    const std::string content = ReadFile(path);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2);
#if defined(_WIN32)
    EXPECT_EQ(std::count(content.begin(), content.end(), '\r'), 2);
    for (size_t i = 0; i < content.size(); ++i) {
        EXPECT_TRUE(content[i] != '\n' || (i > 0 && content[i - 1] == '\r')) << "bare LF at " << i;
    }
#else
    EXPECT_EQ(content.find('\r'), std::string::npos);
#endif
}

#if !defined(_WIN32)
// The comma-separated fields of each line of a file.
std::vector<std::vector<std::string>> SplitRows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(ReadFile(path))) {
        std::istringstream parts(line);
        rows.emplace_back();
        for (std::string field; std::getline(parts, field, ',');) {
            rows.back().push_back(field);
        }
    }
    return rows;
}

// Out of memory, only the line being written is lost, also from the middle of a batch, whose
// other lines go out whole in the same write. (On Windows the test's replacement operator new does
// not reach allocations made inside the DLLs.)
TEST(CsvListenerTest, OutOfMemoryDropsOnlyThatLine) {
    MetricsManager& manager = StartManager();
    // Consumers before and behind the writer starve the background thread for the attribute
    // tagged 2.
    const auto starve = [](bool on) {
        return Callback([on](const MetricsEvent& event) {
            if (event.eventType == MetricsEventType::Attribute && event.param2.m_int == 2) {
                FailAllocations(on);
            }
        });
    };
    for (const bool batched : {false, true}) {
        const TempFile path(batched ? "oom-batch" : "oom");
        const ListenerPtr before = starve(true);
        const ListenerPtr after = starve(false);
        ASSERT_TRUE(manager.AddConsumer(before, ~0ULL, false));
        MetricsRawClient client;
        client.SetOutputFileName(path);
        ASSERT_TRUE(!batched || client.ProcessArgument("-rawbatch"));
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(manager.AddConsumer(after, ~0ULL, false));
        // A long line first leaves room in the writer's line buffer: a batch's lines then grow
        // into it, and only the starved line's own text asks for memory, after its first fields.
        manager.EmitEvent(MakeEvent(MetricsValue(std::string(1000, 'x')), MetricsValue(0)));
        manager.WaitUntilWritesFlushed(10000);
        for (int i = 1; i <= 3; ++i) {  // wide text, which costs an allocation to write
            manager.EmitEvent(MakeEvent(MetricsValue(L"wide"), MetricsValue(i)));
        }
        client.Close();
        EXPECT_TRUE(manager.RemoveConsumer(before));
        EXPECT_TRUE(manager.RemoveConsumer(after));
        std::vector<std::string> tags;
        for (const auto& row : SplitRows(path)) {
            ASSERT_EQ(row.size(), 6u) << ReadFile(path);
            if (row[4] == "wide") {
                tags.push_back(row[5]);
            }
        }
        EXPECT_EQ(tags, (std::vector<std::string>{"1", "3"})) << ReadFile(path);
    }
}

// One huge value does not keep its line's memory once the line is written.
TEST(CsvListenerTest, HugeValueLeavesNoMemoryBehind) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' allocators do not report the heap in use";
    }
    const TempFile path("huge");
    const CsvPtr listener(new Listener(path));
    listener->OnEvent(*MakeEvent(MetricsValue("small"), MetricsValue(1)));
    // Blocks this large are mapped on their own, outside the heap's arena.
    const auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const size_t before = inUse();
    listener->OnEvent(*MakeEvent(MetricsValue(std::string(size_t{8} << 20, 'h')), MetricsValue(2)));
    EXPECT_LT(inUse(), before + (size_t{1} << 20));
    EXPECT_EQ(Lines(ReadFile(path)).size(), 2u);
}

// Whatever the disk takes, the file holds whole rows only: the emitted events in order, with the
// refused ones missing, and nothing spliced onto a fragment of a refused line.
TEST(CsvListenerTest, ShortWritesLeaveOnlyWholeRows) {
    const TempFile path("short");
    const CsvPtr listener(new Listener(path));
    constexpr int kEach = 60;
    constexpr rlim_t kLimit = 1001;  // not a multiple of any line's length
    {
        FileSizeLimit limit(kLimit);
        for (int i = 0; i < kEach; ++i) {
            listener->OnEvent(*MakeEvent(MetricsValue("before"), MetricsValue(i)));
        }
        EXPECT_LE(ReadFile(path).size(), kLimit);
        // A refused line leaves the file where it was, also when it is refused whole.
        for (int i = kEach; i < 2 * kEach; ++i) {
            listener->OnEvent(*MakeEvent(MetricsValue("refused"), MetricsValue(i)));
        }
    }
    for (int i = 2 * kEach; i < 3 * kEach; ++i) {
        listener->OnEvent(*MakeEvent(MetricsValue("after"), MetricsValue(i)));
    }
    const std::string content = ReadFile(path);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    std::vector<int> written;
    for (const auto& row : SplitRows(path)) {
        ASSERT_EQ(row.size(), 6u) << content;
        written.push_back(std::stoi(row[5]));
        EXPECT_EQ(row[4], written.back() < kEach ? "before" : "after") << content;
    }
    // The first lines up to the limit, then every line after it was lifted.
    const auto firstAfter = std::find(written.begin(), written.end(), 2 * kEach);
    ASSERT_NE(firstAfter, written.end()) << content;
    const auto before = static_cast<int>(firstAfter - written.begin());
    EXPECT_GT(before, 0);
    for (int i = 0; i < static_cast<int>(written.size()); ++i) {
        EXPECT_EQ(written[static_cast<size_t>(i)], i < before ? i : 2 * kEach + (i - before));
    }
    EXPECT_EQ(written.size(), static_cast<size_t>(before + kEach));
}

// A header the disk refuses is written before the first line that gets through, never after it.
TEST(CsvListenerTest, RefusedHeaderStillComesFirst) {
    const TempFile path("header");
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    MetricsRawClient client;
    client.SetOutputFileName(path);
    client.SetBits("sql", true);
    FileSizeLimit limit(20);  // less than the header's 55 bytes: it goes out in part
    ASSERT_TRUE(client.Open());
    Attribute("lost", 1, 0x4000000000ULL);
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_LE(ReadFile(path).size(), 20u);
    limit.Lift();
    Attribute("kept", 2, 0x4000000000ULL);
    client.Close();
    const auto rows = SplitRows(path);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "timestamp");
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 6u);
        EXPECT_NE(rows[i][4], "lost");
    }
    EXPECT_EQ(
        std::count_if(rows.begin(), rows.end(), [](const auto& row) { return row[4] == "kept"; }),
        1);
}
#endif

}  // namespace
}  // namespace Metrics::Testing
