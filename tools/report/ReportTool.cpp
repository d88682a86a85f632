// quillmetrics-report: turns a CSV event file into a terminal summary, a self-contained HTML
// timeline and a trace-event JSON file for trace viewers.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>

#include "EventFile.h"
#include "ReportOutput.h"
#include "RunDiff.h"
#include "RunModel.h"

namespace {

using namespace Metrics::Report;

const char* const kDescription =
    "Summarises a quillmetrics CSV event file, and writes it as an HTML timeline or as trace-event "
    "JSON (for the Perfetto UI and chrome://tracing).\n\n"
    "Scope durations: the file carries no scope identity, so a ScopeClose is paired with the most "
    "recent unclosed ScopeOpen of the same name in the same context. Opens and closes that find no "
    "partner are counted, not guessed.\n\n"
    "quillmetrics-report diff BASE.csv NEW.csv compares two runs scope by scope (see diff --help).";

// On a terminal, a file that takes more than a second to read shows how far it has got. Tests
// shorten the second with QUILLMETRICS_REPORT_PROGRESS_MS.
class ProgressLine {
public:
    explicit ProgressLine(std::string path)
        : m_path(std::move(path))
        , m_shown(isatty(STDERR_FILENO) != 0) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, before any thread exists
        if (const char* delay = std::getenv("QUILLMETRICS_REPORT_PROGRESS_MS")) {
            m_delay = std::chrono::milliseconds(std::atoi(delay));
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() {
        if (m_drawn) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }
    void operator()(size_t done, size_t total) {
        if (!m_shown || total == 0 || Clock::now() - m_start < m_delay) {
            return;
        }
        std::cerr << "\rreading " << m_path << ": " << done * 100 / total << "%" << std::flush;
        m_drawn = true;
    }

private:
    using Clock = std::chrono::steady_clock;
    std::string m_path;
    bool m_shown;
    bool m_drawn = false;
    std::chrono::milliseconds m_delay{1000};
    Clock::time_point m_start = Clock::now();
};

// Reads and models one file; false, with the file and line on standard error, when it cannot.
bool Load(const std::string& path, EventFile& file, RunModel& model) {
    try {
        ProgressLine progress(path);
        file = ReadEventFile(path, std::ref(progress));
    } catch (const BadEventFile& e) {
        std::cerr << "quillmetrics-report: " << e.what() << "\n";
        return false;
    }
    model = BuildModel(file);
    return true;
}

// quillmetrics-report diff BASE NEW: exit 0, 1 for bad input, 2 when --fail-above is exceeded.
int RunDiffCommand(int argc, char** argv) {
    CLI::App app("Compares the scope statistics of two runs, the largest regression first.",
                 "quillmetrics-report diff");
    std::string basePath;
    std::string newPath;
    std::string html;
    double failAbove = -1;
    app.add_option("base", basePath, "CSV event file of the run to compare against")->required();
    app.add_option("new", newPath, "CSV event file of the run to judge")->required();
    app.add_option("--fail-above", failAbove,
                   "exit 2 when a scope's p50 or p95 got slower by more than this many percent")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--html", html, "write the comparison as a self-contained HTML page");
    CLI11_PARSE(app, argc, argv);

    EventFile baseFile;
    EventFile newFile;
    RunModel base;
    RunModel now;
    if (!Load(basePath, baseFile, base) || !Load(newPath, newFile, now)) {
        return 1;
    }
    const RunDiff diff = DiffRuns(base, now);
    if (diff.common.empty()) {
        std::cerr << "quillmetrics-report: " << basePath << " and " << newPath
                  << " have no scope in common\n";
        return 1;
    }
    PrintDiff(std::cout, basePath, newPath, diff);
    if (!html.empty() &&
        !WriteFile(html, [&](std::ostream& out) { WriteDiffHtml(out, basePath, newPath, diff); })) {
        return 1;
    }
    if (failAbove >= 0 && RegressedAbove(diff, failAbove)) {
        std::cerr << "quillmetrics-report: a scope got slower by more than " << failAbove << "%\n";
        return 2;
    }
    return 0;
}

int Run(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "diff") {
        return RunDiffCommand(argc - 1, argv + 1);
    }
    CLI::App app(kDescription, "quillmetrics-report");
    std::vector<std::string> inputs;
    std::string html;
    std::string trace;
    bool quiet = false;
    SummaryOptions summary;
    app.add_option("files", inputs,
                   "CSV event files written by the raw client; several are taken as the runs of "
                   "as many processes")
        ->required();
    app.add_option("--html", html, "write a self-contained HTML page with a timeline");
    app.add_option("--trace", trace, "write trace-event JSON (Perfetto UI, chrome://tracing)");
    app.add_flag("-q,--quiet", quiet, "do not print the summary");
    app.add_flag("--tree", summary.tree,
                 "print the context tree too (long runs of siblings of one name folded)");
    CLI11_PARSE(app, argc, argv);

    std::vector<LoadedRun> runs(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        runs[i].path = inputs[i];
        if (!Load(inputs[i], runs[i].file, runs[i].model)) {
            return 1;
        }
    }
    if (!quiet) {
        PrintSummary(std::cout, runs, summary);
    } else {
        for (const LoadedRun& run : runs) {
            if (run.file.lastLineCut) {
                std::cerr << "quillmetrics-report: " << run.path
                          << ": the last line was cut; it is left out\n";
            }
        }
    }
    bool ok = true;
    if (!trace.empty()) {
        ok = WriteFile(trace, [&](std::ostream& out) { WriteTrace(out, runs); }) && ok;
    }
    if (!html.empty()) {
        ok = WriteFile(html, [&](std::ostream& out) { WriteHtml(out, runs); }) && ok;
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "quillmetrics-report: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "quillmetrics-report: failed\n";
    }
    return 1;
}
