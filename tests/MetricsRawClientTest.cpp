#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "support/Files.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

constexpr unsigned long long kAll = 0xFFFFFFFFFFFF0000ULL;
constexpr unsigned long long kSql = 0x4000000000ULL;
constexpr unsigned long long kNet = 0x40000000ULL;
constexpr unsigned long long kDefault = 0xFFFFFFDFFFFF0000ULL;

std::vector<std::string> ReadLines(const std::string& path) { return Lines(ReadFile(path)); }

// Where the event_type column of a line starts.
size_t TypeColumn(const std::string& line) {
    size_t comma = 0;
    for (int field = 0; field < 3; ++field) {
        comma = line.find(',', comma) + 1;
    }
    return comma;
}

int TypeOf(const std::string& line) { return std::stoi(line.substr(TypeColumn(line))); }

// The event_type column of every line but the header.
std::vector<int> TypesOf(const std::vector<std::string>& lines) {
    std::vector<int> types;
    for (size_t i = 1; i < lines.size(); ++i) {
        types.push_back(TypeOf(lines[i]));
    }
    return types;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(MetricsRawClientTest, OptionsAreRecognisedByExactPrefix) {
    MetricsRawClient client;
    EXPECT_FALSE(client.IsOpen());
    client.Close();
    EXPECT_FALSE(client.ProcessArgument("-SET=sql"));
    EXPECT_FALSE(client.ProcessArgument("-set"));
    EXPECT_FALSE(client.ProcessArgument("metrics.csv"));
    EXPECT_TRUE(client.ProcessArgument("-set=nonsense"));  // the value is not checked here
    EXPECT_TRUE(client.ProcessArgument("-raw="));
    EXPECT_TRUE(client.ProcessArgument("-rawbatch"));
    EXPECT_FALSE(client.ProcessArgument("-rawbatch=1"));
    MetricsManager::GetInstance().Enable();
    EXPECT_FALSE(client.Open());  // empty file name
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(MetricsManager::GetInstance().GetBits(), 0u);
}

TEST(MetricsRawClientTest, OpenSetsTheManagerBits) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    const TempFile path("bits");
    const struct {
        std::vector<const char*> options;
        unsigned long long before;
        unsigned long long after;
    } cases[] = {
        {{}, kSql >> 4, (kSql >> 4) | kDefault},
        {{"-setabs=sql", "-set=net"}, kSql, kSql | kNet},
        {{"-set=all", "-clear=sql"}, kSql, kAll},  // the clear list spares bits already set
        {{"-setabs=all", "-clear=sql"}, kSql | 0x1000, kAll & ~kSql},
        {{"-setabs=sql", "-clear=net"}, kNet, kSql},  // -clear= leaves -setabs= absolute
        {{"-clear=sql"}, kSql | kNet, kNet},
        {{"-setabs="}, kNet, kNet | kDefault},  // an empty set list counts as none
        {{"-setabs=unknown", "-clear=net"}, kNet | kSql, kSql},
    };
    for (const auto& c : cases) {
        manager.SetBitsAbsolute(c.before);
        MetricsRawClient client;
        ASSERT_TRUE(client.ProcessArgument("-raw=" + path.Path()));
        for (const char* option : c.options) {
            ASSERT_TRUE(client.ProcessArgument(option));
        }
        ASSERT_TRUE(client.Open());
        EXPECT_EQ(manager.GetBits(), c.after) << (c.options.empty() ? "" : c.options[0]);
        client.Close();
        EXPECT_EQ(manager.GetBits(), c.after);  // Close keeps them
    }
}

TEST(MetricsRawClientTest, RecordsARunFromRootContextToClose) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    const TempFile path("run");
    MetricsRawClient client;
    client.SetOutputFileName(path);
    client.SetBits("sql,net", false);
    client.ClearBits("net");
    ASSERT_TRUE(client.Open());
    EXPECT_TRUE(client.IsOpen());
    EXPECT_FALSE(client.Open());  // already open: refused, nothing replaced
    EXPECT_EQ(manager.GetBits(), kSql);
    {
        Scope scope("query", kSql);
        Attribute("rows", 3, kSql);
        Attribute("dropped", 1, kNet);
    }
    client.Close();
    client.Close();
    EXPECT_FALSE(client.IsOpen());

    const auto lines = ReadLines(path);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "timestamp,datetime,context_id,event_type,param1,param2");
    // Context create and open, the context scope and this one, and the context's close.
    EXPECT_EQ(TypesOf(lines), (std::vector<int>{2, 3, 8, 8, 8, 5, 5, 8, 6, 6, 4}));
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("dropped"), std::string::npos);
    }

    // Opening again truncates the file and starts a new root context.
    ASSERT_TRUE(client.Open());
    client.Close();
    const auto again = ReadLines(path);
    ASSERT_EQ(again.size(), 4u);  // header, create, open, close: nothing opened its scope
}

// Per line, the columns that do not depend on when and in which context an event was made: the
// type, and the values of attributes.
std::vector<std::string> Payloads(const std::vector<std::string>& lines) {
    std::vector<std::string> payloads;
    payloads.reserve(lines.size());
    for (size_t i = 1; i < lines.size(); ++i) {
        const bool attribute = TypeOf(lines[i]) == static_cast<int>(MetricsEventType::Attribute);
        payloads.push_back(attribute ? lines[i].substr(TypeColumn(lines[i]))
                                     : std::to_string(TypeOf(lines[i])));
    }
    return payloads;
}

// The file is written from the background thread, for every category bit (the lowest and the
// highest here). With -rawbatch it gets the same lines, a batch at a time: while a batch is
// delivered the file grows only where 64 KiB of lines have gathered and at the batch's last
// event, where line by line it grows at every event. Each batch is in the file once a flush
// returns, and what a batch gathered goes out when the client closes.
TEST(MetricsRawClientTest, BatchedWritesGiveTheSameLines) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    constexpr int kEvents = 5000;  // some 300 KiB of lines, in one batch
    const auto record = [&](const std::string& path, bool batched) {
        MetricsRawClient client;
        client.SetOutputFileName(path);
        if (batched) {
            EXPECT_TRUE(client.ProcessArgument("-rawbatch"));
        }
        EXPECT_TRUE(client.Open());
        manager.SetBitsAbsolute(~0ULL);
        // The file's size once each attribute is written, seen by a consumer behind the writer.
        std::vector<uintmax_t> sizes;
        const ListenerPtr probe = Callback([&](const MetricsEvent& event) {
            if (event.eventType == MetricsEventType::Attribute) {
                std::error_code error;
                sizes.push_back(std::filesystem::file_size(path, error));
            }
        });
        EXPECT_TRUE(manager.AddConsumer(probe, ~0ULL, false));
        manager.WaitUntilWritesFlushed(10000);
        const size_t before = ReadLines(path).size();
        const GatePtr gate(new GateListener());
        EXPECT_TRUE(manager.AddConsumer(AsListener(gate), ~0ULL, false));
        Attribute("hold", -1, 0x1000);  // a batch of its own, whose delivery the gate holds
        gate->WaitUntilInside();
        for (int i = 0; i < kEvents; ++i) {
            Attribute("rows, and \"more\"", i, 0x8000000000000000ULL);
        }
        gate->Open();
        manager.WaitUntilWritesFlushed(10000);
        EXPECT_EQ(ReadLines(path).size(), before + 1 + kEvents) << "flushed but not written";
        EXPECT_TRUE(manager.RemoveConsumer(probe));
        EXPECT_TRUE(manager.RemoveConsumer(AsListener(gate)));
        size_t growths = 0;
        for (size_t i = 1; i < sizes.size(); ++i) {
            growths += sizes[i] != sizes[i - 1] ? 1 : 0;
        }
        if (batched) {
            EXPECT_GE(growths, 2u);
            EXPECT_LE(growths, (sizes.back() - sizes.front()) / (size_t{64} * 1024) + 1);
        } else {
            EXPECT_EQ(growths, static_cast<size_t>(kEvents));
        }
        client.Close();
        return Payloads(ReadLines(path));
    };
    const TempFile perLine("per-line");
    const TempFile batched("batched");
    const auto expected = record(perLine, false);
    EXPECT_EQ(record(batched, true), expected);
}

// With -rawbatch, a batch that ends at the shutdown's own event is written by the time Disable
// returns, not only once the client closes.
TEST(MetricsRawClientTest, BatchEndingAtTheShutdownIsWrittenByIt) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    const TempFile path("shutdown-batch");
    MetricsRawClient client;
    client.SetOutputFileName(path);
    EXPECT_TRUE(client.ProcessArgument("-rawbatch"));
    ASSERT_TRUE(client.Open());
    const GatePtr gate(new GateListener());
    EXPECT_TRUE(manager.AddConsumer(AsListener(gate), ~0ULL, false));
    Attribute("hold", -1, 0x10000);
    gate->WaitUntilInside();
    Attribute("last", 1, 0x10000);
    // Disable logs once its event is queued behind "last": the two come in one batch.
    manager.SetLoggingFunction([&](auto, auto, const auto&) { gate->Open(); });
    EXPECT_TRUE(manager.Disable());
    EXPECT_NE(ReadLines(path).back().find("last"), std::string::npos);
}

// A client destroyed while open completes its file.
TEST(MetricsRawClientTest, DestroyingAnOpenClientCompletesTheFile) {
    MetricsManager::GetInstance().Enable();
    const TempFile path("destroyed");
    {
        MetricsRawClient client;
        client.SetOutputFileName(path);
        ASSERT_TRUE(client.Open());
        Attribute("last words", "written", 0x10000);
    }
    const auto lines = ReadLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(TypeOf(lines.back()), static_cast<int>(MetricsEventType::ContextClose));
    EXPECT_NE(lines[3].find("last words"), std::string::npos);
}

TEST(MetricsRawClientTest, RefusesWhereNothingCouldBeRecorded) {
    const TempFile path("refused");
    MetricsManager& manager = MetricsManager::GetInstance();
    MetricsRawClient client;
    client.SetOutputFileName(path);
    EXPECT_FALSE(client.Open());  // never enabled
    EXPECT_FALSE(FileExists(path));

    manager.Enable();
    LogRecorder log;
    manager.SetLoggingFunction(log.Function());
    MetricsRawClient badPath;
    badPath.SetOutputFileName("/nonexistent-dir/metrics.csv");
    try {
        badPath.Open();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "failed to open file");
    }
    // The log names what the exception cannot: the path and the system's reason.
    const auto reports = log.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].key, L"quillmetrics-raw-open-failed");
    const std::string named = "cannot create /nonexistent-dir/metrics.csv: ";
    EXPECT_EQ(reports[0].message.substr(0, named.size()), named);
#if !defined(_WIN32)
    EXPECT_EQ(reports[0].message, named + std::generic_category().message(ENOENT));
#else
    EXPECT_GT(reports[0].message.size(), named.size());
#endif
    EXPECT_FALSE(badPath.IsOpen());
    EXPECT_EQ(manager.GetBits(), 0u);
    EXPECT_EQ(manager.GetCurrentThreadContextId(), 0u);

    MetricsManager::ShutdownAndFlush();
    EXPECT_FALSE(client.Open());  // shut down
    EXPECT_FALSE(FileExists(path));
}

}  // namespace
}  // namespace Metrics::Testing
