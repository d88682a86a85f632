#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/AllocationHooks.h"
#include "support/Files.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Listener = MetricsRawClient::Listener;

#if !defined(_WIN32)
#endif

std::shared_ptr<MetricsEvent> MakeEvent(MetricsValue first, MetricsValue second) {
    auto event = std::make_shared<MetricsEvent>();
    event->eventType = MetricsEventType::Attribute;
    event->contextId = 7;
    event->param1 = std::move(first);
    event->param2 = std::move(second);
    return event;
}

TEST(CsvListenerTest, FileThatCannotBeOpenedThrows) {
    try {
        const RefCntPtr<Listener, RefCntObject> listener(new Listener("/nonexistent-dir/x.csv"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "failed to open file");
    }
}

TEST(CsvListenerTest, RegisteredListenerWritesOneLinePerEvent) {
    const std::string path = TempPath("listener");
    {
        std::ofstream old(path);
        old << "stale content that must be truncated\n";
    }
    MetricsManager& manager = StartManager();
    const RefCntPtr<Listener, RefCntObject> listener(new Listener(path));
    EXPECT_EQ(ReadFile(path), "");
    ASSERT_TRUE(
        manager.AddConsumer(RefCntPtr<IMetricsListener, RefCntObject>(listener), ~0ULL, false));
    manager.EmitEvent(MakeEvent(MetricsValue("name"), MetricsValue(-5)));
    manager.EmitEvent(MakeEvent(MetricsValue("with,comma"), MetricsValue(true)));
    manager.WaitUntilWritesFlushed(10000);

    // Every line is flushed as it is written: readable while the listener is still open.
    const std::vector<std::string> rows = Lines(ReadFile(path));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].find(",7,8,name,-5"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find(",7,8,\"with,comma\",true"), std::string::npos) << rows[1];
    std::remove(path.c_str());
}

TEST(CsvListenerTest, FullDiskLosesLinesQuietly) {
    MetricsManager& manager = StartManager();
    const RefCntPtr<Listener, RefCntObject> full(new Listener("/dev/full"));
    auto witness = MakeRecordingListener();
    ASSERT_TRUE(manager.AddConsumer(RefCntPtr<IMetricsListener, RefCntObject>(full), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(AsListener(witness), ~0ULL, false));
    for (int i = 0; i < 50; ++i) {
        manager.EmitEvent(MakeEvent(MetricsValue("line"), MetricsValue(i)));
    }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(witness->Count(), 50u);  // the consumer behind the failing one got everything
    full->OnEvent(*MakeEvent(MetricsValue("direct"), MetricsValue(1)));
}

// The file is a text file: CR LF on Windows, LF elsewhere, and never a mix.
TEST(CsvListenerTest, LinesEndTheSystemsWay) {
    const std::string path = TempPath("lineends");
    {
        const RefCntPtr<Listener, RefCntObject> listener(new Listener(path));
        listener->OnEvent(*MakeEvent(MetricsValue("one"), MetricsValue(1)));
        listener->OnEvent(*MakeEvent(MetricsValue("two\nlines"), MetricsValue(2)));
    }
    const std::string content = ReadFile(path);
    size_t newlines = 0;
    // NOLINTNEXTLINE(modernize-loop-convert): the index looks back one byte on Windows
    for (size_t i = 0; i < content.size(); ++i) {
        if (content[i] == '\n') {
            ++newlines;
#if defined(_WIN32)
            EXPECT_TRUE(i > 0 && content[i - 1] == '\r') << "bare LF at byte " << i;
#endif
        }
    }
#if defined(_WIN32)
    EXPECT_EQ(std::count(content.begin(), content.end(), '\r'), 2);
#else
    EXPECT_EQ(content.find('\r'), std::string::npos);
#endif
    EXPECT_EQ(newlines, 2u);  // a line break inside a value never ends a line
    std::remove(path.c_str());
}

#if !defined(_WIN32)
std::vector<std::vector<std::string>> SplitRows(const std::string& content) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(content)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, ',')) {
            fields.push_back(field);
        }
        rows.push_back(fields);
    }
    return rows;
}

// Whatever the disk takes, the file holds whole rows only: the emitted events in order, with the
// refused ones missing, and nothing spliced onto a fragment of a refused line.
TEST(CsvListenerTest, ShortWritesLeaveOnlyWholeRows) {
    const std::string path = TempPath("short");
    const RefCntPtr<Listener, RefCntObject> listener(new Listener(path));
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
    const auto rows = SplitRows(content);
    std::vector<int> written;
    for (const auto& row : rows) {
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
    std::remove(path.c_str());
}

// A header the disk refuses is written before the first line that gets through, never after it.
TEST(CsvListenerTest, RefusedHeaderStillComesFirst) {
    const std::string path = TempPath("header");
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
    const auto rows = SplitRows(ReadFile(path));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"timestamp", "datetime", "context_id",
                                                 "event_type", "param1", "param2"}));
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 6u);
        EXPECT_NE(rows[i][4], "lost");
    }
    EXPECT_EQ(
        std::count_if(rows.begin(), rows.end(), [](const auto& row) { return row[4] == "kept"; }),
        1);
    std::remove(path.c_str());
}
#endif

TEST(CsvListenerTest, OutOfMemoryDropsOnlyThatLine) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: on Windows the test's replacement operator new does not reach "
                    "allocations made inside the DLLs";
#endif
    const std::string path = TempPath("oom");
    const RefCntPtr<Listener, RefCntObject> listener(new Listener(path));
    const auto first = MakeEvent(MetricsValue("first"), MetricsValue(1));
    const auto second = MakeEvent(MetricsValue("second"), MetricsValue(2));
    FailAllocations(true);
    EXPECT_NO_THROW(listener->OnEvent(*first));
    FailAllocations(false);
    listener->OnEvent(*second);
    const std::string content = ReadFile(path);
    EXPECT_EQ(content.find("first"), std::string::npos);
    EXPECT_NE(content.find(",7,8,second,2\n"), std::string::npos) << content;
    std::remove(path.c_str());
}

// Python's csv module stands in for the spreadsheet or script that reads the file: each row must
// come back with six fields and the texts as written.
TEST(CsvListenerTest, CsvReaderParsesEveryRow) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: runs python3 from the shell (on Windows the demo host test reads "
                    "the Windows file with the same reader)";
#endif
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread of this test touches the environment
    if (std::system("python3 -c 'import csv' >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::string path = TempPath("reader");
    MetricsManager& manager = StartManager();
    {
        const RefCntPtr<Listener, RefCntObject> listener(new Listener(path));
        ASSERT_TRUE(
            manager.AddConsumer(RefCntPtr<IMetricsListener, RefCntObject>(listener), ~0ULL, false));
        const std::vector<std::pair<MetricsValue, MetricsValue>> values = {
            {MetricsValue("plain"), MetricsValue(1)},
            {MetricsValue("a,b"), MetricsValue("c\rd")},
            {MetricsValue("q\"uote"), MetricsValue("line\nfeed")},
            {MetricsValue("'quoted'"), MetricsValue(L"wide\u00e9")},
            {MetricsValue(" spaced "), MetricsValue(3.5)},
            {MetricsValue(","), MetricsValue("\"")},
        };
        for (const auto& [first, second] : values) {
            manager.EmitEvent(MakeEvent(first, second));
        }
        manager.WaitUntilWritesFlushed(10000);
        ASSERT_TRUE(manager.RemoveConsumer(RefCntPtr<IMetricsListener, RefCntObject>(listener)));
    }
    const std::string expected = TempPath("expected");
    {
        std::ofstream out(expected, std::ios::binary);
        // A line feed comes back as a double quote: the writer keeps every event on one line.
        out << "plain|1\na,b|c\rd\nq\"uote|line\"feed\nquoted|wide\xC3\xA9\n spaced |3.500000\n"
               ",|\"\n";
    }
    const std::string script =
        "import csv,sys\n"
        "rows=list(csv.reader(open(sys.argv[1],newline='',encoding='utf-8')))\n"
        "want=[l.split('|') for l in open(sys.argv[2],newline='',encoding='utf-8').read()"
        ".split('\\n') if l]\n"
        "assert all(len(r)==6 for r in rows), rows\n"
        "got=[[r[4],r[5]] for r in rows]\n"
        "assert got==want, (got,want)\n";
    const std::string scriptPath = TempPath("check") + ".py";
    {
        std::ofstream out(scriptPath);
        out << script;
    }
    const std::string command = "python3 " + scriptPath + " " + path + " " + expected;
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(path);  // NOLINT(concurrency-mt-unsafe)
    std::remove(path.c_str());
    std::remove(expected.c_str());
    std::remove(scriptPath.c_str());
}

}  // namespace
}  // namespace Metrics::Testing
