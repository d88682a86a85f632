// quillmetrics-report: turns a CSV event file into a terminal summary, a self-contained HTML
// timeline and a trace-event JSON file for trace viewers.

#include <CLI/CLI.hpp>
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

// Reads and models one file; false, with the file and line on standard error, when it cannot.
bool Load(const std::string& path, EventFile& file, RunModel& model) {
    try {
        file = ReadEventFile(path);
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
    std::string input;
    std::string html;
    std::string trace;
    bool quiet = false;
    SummaryOptions summary;
    app.add_option("file", input, "CSV event file written by the raw client")->required();
    app.add_option("--html", html, "write a self-contained HTML page with a timeline");
    app.add_option("--trace", trace, "write trace-event JSON (Perfetto UI, chrome://tracing)");
    app.add_flag("-q,--quiet", quiet, "do not print the summary");
    app.add_flag("--tree", summary.tree,
                 "print the context tree too (long runs of siblings of one name folded)");
    CLI11_PARSE(app, argc, argv);

    EventFile file;
    RunModel model;
    if (!Load(input, file, model)) {
        return 1;
    }
    if (!quiet) {
        PrintSummary(std::cout, input, file, model, summary);
    } else if (file.lastLineCut) {
        std::cerr << "quillmetrics-report: " << input
                  << ": the last line was cut; it is left out\n";
    }
    bool ok = true;
    if (!trace.empty()) {
        ok = WriteFile(trace, [&](std::ostream& out) { WriteTrace(out, model); }) && ok;
    }
    if (!html.empty()) {
        ok = WriteFile(html, [&](std::ostream& out) { WriteHtml(out, input, file, model); }) && ok;
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
