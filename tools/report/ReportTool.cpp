// quillmetrics-report: turns a CSV event file into a terminal summary, a self-contained HTML
// timeline and a trace-event JSON file for trace viewers.

#include <CLI/CLI.hpp>
#include <iostream>

#include "EventFile.h"
#include "ReportOutput.h"
#include "RunModel.h"

namespace {

using namespace Metrics::Report;

const char* const kDescription =
    "Summarises a quillmetrics CSV event file, and writes it as an HTML timeline or as trace-event "
    "JSON (for the Perfetto UI and chrome://tracing).\n\n"
    "Scope durations: the file carries no scope identity, so a ScopeClose is paired with the most "
    "recent unclosed ScopeOpen of the same name in the same context. Opens and closes that find no "
    "partner are counted, not guessed.";

int Run(int argc, char** argv) {
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
    try {
        file = ReadEventFile(input);
    } catch (const BadEventFile& e) {
        std::cerr << "quillmetrics-report: " << e.what() << "\n";
        return 1;
    }
    const RunModel model = BuildModel(file);
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
