// quillmetrics-demo: a small desktop-style host that records a run into a CSV file.
//
// A UI thread hands work to a pool of workers through shared and unique contexts; the workers
// open nested scopes, record attributes and values, and the UI thread shows a dialog and a message
// box. The raw client writes every event to the file; a synchronous consumer of the demo's own
// counts the events and times the scopes for the summary printed at the end.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <quillmetrics/quillmetrics.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Metrics;

constexpr auto kRetryAction = static_cast<MetricsCloseScopeActions>(1);
constexpr auto kInvalidateCacheAction = static_cast<MetricsCloseScopeActions>(2);

const char* const kUsage =
    "usage: quillmetrics-demo [options]\n"
    "\n"
    "Runs a short instrumented workload and records it to a CSV file.\n"
    "\n"
    "options:\n"
    "  -raw=FILE        file to write (default metrics.csv)\n"
    "  -rawbatch        write the file a batch of lines at a time (faster; a crash can lose the\n"
    "                   lines of the batch being written)\n"
    "  -prom=ADDR:PORT  serve the figures to Prometheus while running (e.g. 127.0.0.1:9464)\n"
    "  -push=URL        push the final figures to a Prometheus Pushgateway at the end\n"
    "  --linger=S       once the work is done, keep serving for S seconds (0 to 3600, default 0)\n"
    "  --threads=N      worker threads (1 to 64, default 3)\n"
    "  --events=N       work items the UI thread hands out (1 to 1000000, default 500)\n"
    "  -v               show the library's own info lines as well\n"
    "  --version        show the version\n"
    "  --help           show this text\n"
    "\n"
    "categories: LIST is comma-separated mnemonics (sql,net); \"all\" is every category but\n"
    "highvol. This host enables no category itself; when recording starts, the options change\n"
    "its mask (empty here) as follows:\n"
    "  -set=LIST        adds LIST, less any -clear list, to the mask\n"
    "  -setabs=LIST     makes the mask exactly LIST, less any -clear list\n"
    "  -clear=LIST      without -set or -setabs: takes LIST out of the mask, adding nothing\n"
    "                   (so -clear=sql alone records nothing; -set=all -clear=sql records all\n"
    "                   but sql)\n"
    "  none of them     adds the default, all but rpipe\n"
    "A list with no known mnemonic counts as not given.\n"
    "\n"
    "exit status: 0 done; 1 the file cannot be created; 2 a usage error; 3 -prom or -push was\n"
    "given and failed (the file is still complete)\n";

// The keys of the exporter's lines on the logging hook, and of a file that cannot be created.
constexpr const wchar_t* kExporterKey = L"quillmetrics-prometheus";
constexpr const wchar_t* kExporterFailedKey = L"quillmetrics-prometheus-failed";
constexpr const wchar_t* kOpenFailedKey = L"quillmetrics-raw-open-failed";

struct Options {
    std::string file = "metrics.csv";
    int threads = 3;
    int tasks = 500;
    int lingerSeconds = 0;
    bool verbose = false;
    bool exporter = false;  // -prom= or -push= with a value
    std::string setList;    // the last -set= or -setabs= value, and its option
    std::string setOption;
    std::string clearList;  // the last -clear= value
};

// What the logging hook shows: warnings always, and of the info lines the exporter's (they answer
// -prom and -push), the rest with -v. Called on any thread.
class LogLines {
public:
    explicit LogLines(bool verbose)
        : m_verbose(verbose) {}

    void Line(MetricsManager::LogSeverity severity, const wchar_t* key,
              const TStringCore& message) {
        const std::string text = message.toStdString();
        if (std::wcscmp(key, kExporterFailedKey) == 0) {
            m_exporterFailed = true;
        } else if (std::wcscmp(key, kOpenFailedKey) == 0) {
            // Said once, in the demo's own error line.
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_openFailure = text;
            return;
        }
        if (severity == MetricsManager::LogSeverity::Info && !m_verbose &&
            std::wcscmp(key, kExporterKey) != 0) {
            return;
        }
        std::fprintf(stderr, "[%c] %s: %s\n", static_cast<char>(severity),
                     TStringCore(key, -1).toStdString().c_str(), text.c_str());
    }

    bool ExporterFailed() const { return m_exporterFailed; }
    std::string OpenFailure() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_openFailure;
    }

private:
    const bool m_verbose;
    std::atomic<bool> m_exporterFailed{false};
    std::mutex m_mutex;
    std::string m_openFailure;  // guarded by m_mutex
};

std::string Join(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto& name : names) {
        joined += joined.empty() ? "" : ",";
        joined += name;
    }
    return joined;
}

// A category mask as compactly as the mnemonic table allows: "all", "all but rpipe", "net,sql",
// "all, plus highvol", "none".
std::string DescribeMask(unsigned long long mask) {
    const unsigned long long categories = mask & kCategoryMask;
    if (categories == 0) {
        return "none";
    }
    std::vector<std::string> inside;   // named bits of "all" that are set
    std::vector<std::string> outside;  // named bits of "all" that are not
    std::vector<std::string> beyond;   // set bits outside "all" (highvol)
    unsigned long long named = 0;
    for (const CategoryMnemonic& row : kCategoryMnemonics) {
        if ((row.bits & (row.bits - 1)) != 0) {
            continue;  // "all" is a union of bits, not one of its own
        }
        named |= row.bits;
        if ((row.bits & Category::All) == 0) {
            if ((categories & row.bits) != 0) {
                beyond.emplace_back(row.mnemonic);
            }
        } else {
            ((categories & row.bits) != 0 ? inside : outside).emplace_back(row.mnemonic);
        }
    }
    const unsigned long long unnamedSet = categories & ~named;
    const unsigned long long unnamedMissing = Category::All & ~named & ~categories;
    std::string text;
    if (unnamedMissing == 0 && outside.size() < inside.size()) {
        text = outside.empty() ? "all" : "all but " + Join(outside);
        return beyond.empty() ? text : text + ", plus " + Join(beyond);
    }
    inside.insert(inside.end(), beyond.begin(), beyond.end());
    text = Join(inside);
    if (unnamedSet != 0) {
        char bits[32];
        std::snprintf(bits, sizeof bits, "0x%llX", unnamedSet);
        text += text.empty() ? bits : std::string(",") + bits;
    }
    return text;
}

// Says why nothing is being recorded, and what the user probably meant.
void WarnEmptyMask(const Options& options) {
    std::cerr << "quillmetrics-demo: warning: no category is enabled, so nothing is recorded "
                 "(the file holds only its header): ";
    if (!options.clearList.empty() &&
        MetricsBitsUtils::GetMetricsBitsFromMnemonicList(options.setList) == 0) {
        std::cerr << "-clear only takes categories out of those the host has enabled, and this "
                     "host enables none of its own; to record every category but those, give "
                     "-set=all -clear="
                  << options.clearList << "\n";
    } else if (!options.clearList.empty()) {
        std::cerr << "-clear=" << options.clearList << " takes out every category that "
                  << options.setOption << options.setList << " names\n";
    } else {
        std::cerr << "give -set=LIST with the categories to record\n";
    }
}

const char* TypeName(int type) {
    const char* name = MetricsEventTypeName(static_cast<MetricsEventType>(type));
    return name != nullptr ? name : "other";
}

// Counts events by type and times scopes by pairing each open with the close of the same subject.
// Called on every emitting thread, hence the lock.
class SummaryConsumer : public IMetricsListener {
public:
    struct ScopeTime {
        long count = 0;
        unsigned long long totalNs = 0;
        unsigned long long maxNs = 0;
    };

    void OnEvent(const MetricsEvent& event) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_counting) {
            return;
        }
        ++m_byType[static_cast<int>(event.eventType)];
        if (event.eventType == MetricsEventType::ScopeOpen) {
            m_open[event.subjectId] = {event.timestamp, Name(event.param1)};
        } else if (event.eventType == MetricsEventType::ScopeClose) {
            const auto found = m_open.find(event.subjectId);
            if (found != m_open.end()) {
                const unsigned long long ns = event.timestamp - found->second.first;
                ScopeTime& time = m_times[found->second.second];
                ++time.count;
                time.totalNs += ns;
                time.maxNs = std::max(time.maxNs, ns);
                m_open.erase(found);
            }
        }
    }

    void StopCounting() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_counting = false;
    }

    std::map<int, long> ByType() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_byType;
    }

    std::vector<std::pair<std::string, ScopeTime>> Slowest(size_t count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::pair<std::string, ScopeTime>> scopes(m_times.begin(), m_times.end());
        std::sort(scopes.begin(), scopes.end(),
                  [](const auto& a, const auto& b) { return a.second.totalNs > b.second.totalNs; });
        scopes.resize(std::min(count, scopes.size()));
        return scopes;
    }

private:
    static std::string Name(const MetricsValue& value) {
        return value.m_type == MetricsValueType::String ? *value.m_string : "(unnamed)";
    }

    std::mutex m_mutex;
    bool m_counting = true;                                                           // guarded
    std::map<int, long> m_byType;                                                     // guarded
    std::map<unsigned long long, std::pair<unsigned long long, std::string>> m_open;  // guarded
    std::map<std::string, ScopeTime> m_times;                                         // guarded
};

// A work item as the UI thread hands it to a worker.
struct Task {
    int number;
    SharedMetricsContext batch;    // the batch the item belongs to, shared by many items
    UniqueMetricsContext pending;  // the item's own context, opened by whichever worker runs it
};

class TaskQueue {
public:
    void Push(Task task) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_ready.notify_one();
    }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_ready.notify_all();
    }
    bool Pop(Task& task) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [&] { return m_finished || !m_tasks.empty(); });
        if (m_tasks.empty()) {
            return false;
        }
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Task> m_tasks;  // guarded by m_mutex
    bool m_finished = false;   // guarded by m_mutex
};

void Work(std::chrono::microseconds duration) {
    // Sleeping stands in for the host's real work; the scopes measure it.
    std::this_thread::sleep_for(duration);
}

void RunTask(Task& task, std::mt19937& random) {
    // The batch context becomes the parent of a short "batch-step" context on this thread, and the
    // item's own context is opened here as well.
    const std::unique_ptr<Context> step = task.batch.Open();
    const std::unique_ptr<Context> item = task.pending.Open();
    if (item) {
        item->SetName("work-item");
        item->Emit(MetricsValue("item"), MetricsValue(task.number));
        item->AddAttribute("origin", "ui");
    }
    Attribute(L"table", L"customers \u00e9t\u00e9", Category::Sql);
    Scope query("query", Category::Query | Category::Sql);
    Attribute("rows", static_cast<long long>(random() % 5000), Category::Sql);
    Attribute("cached", random() % 3 == 0, Category::Cache);
    {
        Scope fetch("fetch", Category::Net);
        fetch.Emit("bytes", static_cast<long long>(1000 + random() % 100000));
        Work(std::chrono::microseconds(1500 + random() % 4000));
        if (random() % 5 == 0) {
            fetch.SetPostScopeCloseEvents({kRetryAction});
        }
    }
    {
        Scope parse("parse", Category::Parse);
        Attribute("ratio", static_cast<double>(random() % 1000) / 7.0, Category::Parse);
        Work(std::chrono::microseconds(500 + random() % 2000));
        for (int i = 0; i < 5; ++i) {
            Attribute("token", i,
                      Category::Highvol);  // outside "all": recorded only when asked for
        }
    }
    MetricsValuePairs stats;
    stats.emplace_back(MetricsValue("fetched"), MetricsValue(true));
    stats.emplace_back(MetricsValue("latency-ms"), MetricsValue(2.5));
    MultiAttribute("query-stats", std::move(stats), Category::Query);
    if (task.number % 10 == 0) {
        query.SetPostScopeCloseEvents({kInvalidateCacheAction});
    }
}

void ShowProgress(int done, int total) {
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    if (!terminal) {
        return;
    }
    constexpr int kWidth = 30;
    const int filled = total == 0 ? kWidth : done * kWidth / total;
    std::fprintf(stderr, "\r[%s%s] %3d%% %d/%d work items", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), total == 0 ? 100 : done * 100 / total,
                 done, total);
    if (done == total) {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}

bool ParseNumber(const std::string& text, int low, int high, int& out) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int value = std::stoi(text);
    if (value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

int UsageError(const std::string& message) {
    std::cerr << "quillmetrics-demo: " << message << "\n\n" << kUsage;
    return 2;
}

void WarnUnknownMnemonics(const std::string& option) {
    const std::string::size_type equals = option.find('=');
    const std::string unknown = MetricsBitsUtils::ValidateMnemonicList(option.substr(equals + 1));
    if (!unknown.empty()) {
        std::cerr << "quillmetrics-demo: warning: unknown categories in "
                  << option.substr(0, equals) << ": " << unknown << " (ignored)\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    MetricsRawClient client;
    client.SetOutputFileName(options.file);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (argument == "--version") {
            std::cout << "quillmetrics-demo " << QUILLMETRICS_VERSION << "\n";
            return 0;
        }
        if (argument == "-v") {
            options.verbose = true;
        } else if (argument.rfind("--threads=", 0) == 0) {
            if (!ParseNumber(argument.substr(10), 1, 64, options.threads)) {
                return UsageError("--threads takes a whole number from 1 to 64: " + argument);
            }
        } else if (argument.rfind("--events=", 0) == 0) {
            if (!ParseNumber(argument.substr(9), 1, 1000000, options.tasks)) {
                return UsageError("--events takes a whole number from 1 to 1000000: " + argument);
            }
        } else if (argument.rfind("--linger=", 0) == 0) {
            if (!ParseNumber(argument.substr(9), 0, 3600, options.lingerSeconds)) {
                return UsageError("--linger takes a whole number from 0 to 3600: " + argument);
            }
        } else if (client.ProcessArgument(argument)) {
            const std::string::size_type equals = argument.find('=');
            const std::string option = argument.substr(0, equals + 1);
            const std::string value =
                equals == std::string::npos ? "" : argument.substr(equals + 1);
            if (option == "-raw=") {
                options.file = value;
                if (options.file.empty()) {
                    return UsageError("-raw= needs a file name");
                }
            } else if (option == "-set=" || option == "-setabs=") {
                WarnUnknownMnemonics(argument);
                options.setOption = option;
                options.setList = value;
            } else if (option == "-clear=") {
                WarnUnknownMnemonics(argument);
                options.clearList = value;
            } else if ((option == "-prom=" || option == "-push=") && !value.empty()) {
                options.exporter = true;
            }
        } else {
            return UsageError("unknown option: " + argument);
        }
    }

    MetricsManager& manager = MetricsManager::GetInstance();
    // The hook owns the lines' state: the library's shutdown at exit may still log through it.
    const auto log = std::make_shared<LogLines>(options.verbose);
    manager.SetLoggingFunction(
        [log](MetricsManager::LogSeverity severity, const wchar_t* key,
              const TStringCore& message) { log->Line(severity, key, message); });
    manager.SetTLSDiagnosticType(MetricsManager::TLSDiagnosticType::Log);
    manager.Enable();

    const RefCntPtr<SummaryConsumer, RefCntObject> summary(new SummaryConsumer());
    manager.AddConsumer(RefCntPtr<IMetricsListener, RefCntObject>(summary), ~0ULL, true);
    try {
        if (!client.Open()) {
            std::cerr << "quillmetrics-demo: could not start recording to " << options.file << "\n";
            return 1;
        }
    } catch (const std::exception& e) {
        const std::string reason = log->OpenFailure();
        std::cerr << "quillmetrics-demo: "
                  << (reason.empty() ? "cannot create " + options.file + ": " + e.what() : reason)
                  << "\n";
        return 1;
    }
    std::cerr << "quillmetrics-demo: recording to " << options.file
              << " (categories: " << DescribeMask(manager.GetBits()) << ")\n";
    if ((manager.GetBits() & kCategoryMask) == 0) {
        WarnEmptyMask(options);
    }

    const auto started = std::chrono::steady_clock::now();
    TaskQueue queue;
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(options.threads));
    for (int w = 0; w < options.threads; ++w) {
        workers.emplace_back([&queue, &done, w] {
            std::mt19937 random(static_cast<unsigned>(w) * 7919U + 1U);
            Task task{0, SharedMetricsContext(false), UniqueMetricsContext(false)};
            while (queue.Pop(task)) {
                RunTask(task, random);
                ++done;
            }
        });
    }

    // The UI thread: frames that hand out batches of work, a dialog and a message box.
    {
        const unsigned long long rootId = manager.GetCurrentThreadContextId();
        Context ui(rootId, Context::Create(false));
        ui.SetName("ui");
        Attribute("app", "quillmetrics-demo", Category::Act);
        Attribute("threads", options.threads, Category::Act);
        const int perBatch = 10;
        int handedOut = 0;
        for (int frame = 0; handedOut < options.tasks; ++frame) {
            Scope render("ui-frame", Category::Rend);
            render.Emit("frame", frame);
            SharedMetricsContext batch;
            for (int i = 0; i < perBatch && handedOut < options.tasks; ++i) {
                queue.Push(Task{handedOut++, batch, UniqueMetricsContext()});
            }
            if (frame == 1 || options.tasks <= perBatch) {
                ModalDialogMetrics dialog("Options");
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
            }
            if (handedOut >= options.tasks) {  // the last frame asks the user something
                ModalDialogMetrics messageBox;
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
            // Pace the frames so the workers keep up, as a UI would wait for results.
            while (handedOut - done.load() > options.threads * perBatch) {
                ShowProgress(done.load(), options.tasks);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ShowProgress(done.load(), options.tasks);
        }
        queue.Finish();
        for (auto& worker : workers) {
            worker.join();
        }
        ShowProgress(done.load(), options.tasks);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (options.lingerSeconds > 0) {
        // Everything recorded so far reaches the consumers before a scraper comes for it.
        manager.WaitUntilWritesFlushed(10000);
        std::this_thread::sleep_for(std::chrono::seconds(options.lingerSeconds));
    }

    client.Close();
    summary->StopCounting();
    MetricsManager::ShutdownAndFlush();

    long total = 0;
    for (const auto& [type, count] : summary->ByType()) {
        total += count;
    }
    std::printf("\nwrote %ld events in %.2f s to %s\n\nevents by type:\n", total, seconds,
                options.file.c_str());
    for (const auto& [type, count] : summary->ByType()) {
        std::printf("  %-18s %8ld\n", TypeName(type), count);
    }
    std::printf("\nscopes that took the most time:\n");
    std::printf("  %-12s %7s %12s %10s %10s\n", "scope", "count", "total ms", "mean ms", "max ms");
    for (const auto& [name, time] : summary->Slowest(5)) {
        std::printf("  %-12s %7ld %12.1f %10.3f %10.3f\n", name.c_str(), time.count,
                    static_cast<double>(time.totalNs) / 1e6,
                    static_cast<double>(time.totalNs) / 1e6 / static_cast<double>(time.count),
                    static_cast<double>(time.maxNs) / 1e6);
    }
    if (options.exporter && log->ExporterFailed()) {
        std::fflush(stdout);
        std::cerr << "quillmetrics-demo: the Prometheus exporter failed (see the warning above); "
                     "the file is complete\n";
        return 3;
    }
    return 0;
}
