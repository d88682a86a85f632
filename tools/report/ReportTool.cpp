// quillmetrics-report: turns CSV event files into a terminal summary, a self-contained HTML
// flame-chart timeline and trace-event JSON for trace viewers, and compares two runs.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <sys/stat.h>

#include "EventFile.h"
#include "ReportOutput.h"
#include "ReportText.h"
#include "RunDiff.h"
#include "RunModel.h"

#ifndef QUILLMETRICS_VERSION
#define QUILLMETRICS_VERSION "unknown"
#endif

namespace {

using namespace Metrics::Report;

constexpr int kUsage = 2;
constexpr int kBadInput = 1;
constexpr int kRegressed = 2;

const char* const kDescription =
    "Summarises quillmetrics CSV event files, and writes them as an HTML timeline or as "
    "trace-event JSON (for the Perfetto UI and chrome://tracing). A file named - is read from "
    "standard input.\n\n"
    "Scope durations: the file carries no scope identity, so a ScopeClose is paired with the most "
    "recent unclosed ScopeOpen of the same name in the same context. Opens and closes that find no "
    "partner are counted, not guessed.\n\n"
    "quillmetrics-report diff BASE.csv NEW.csv compares two runs scope by scope (see diff --help).";

void Error(const std::string& message) {
    std::cerr << TerminalText("quillmetrics-report: " + message) << "\n";
}

// On a terminal, work that takes more than a second shows which phase it is in, and how far a
// read has got. Tests shorten the second with QUILLMETRICS_REPORT_PROGRESS_MS.
class ProgressLine {
public:
    ProgressLine()
        : m_shown(isatty(STDERR_FILENO) != 0) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, before any thread exists
        if (const char* delay = std::getenv("QUILLMETRICS_REPORT_PROGRESS_MS")) {
            m_delay = std::chrono::milliseconds(std::atoi(delay));
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { Clear(); }
    void Phase(const std::string& phase) {
        m_phase = TerminalText(phase);
        Show(m_phase + "\u2026");
    }
    void Read(uint64_t done, uint64_t total) {
        Show(total == 0 ? m_phase + ": " + Bytes(done)
                        : m_phase + ": " + std::to_string(done * 100 / total) + "%");
    }
    void Clear() {
        if (m_drawn) {
            std::cerr << "\r\033[K" << std::flush;
            m_drawn = false;
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    void Show(const std::string& text) {
        if (!m_shown || Clock::now() - m_start < m_delay) {
            return;
        }
        std::cerr << "\r\033[K" << text << std::flush;
        m_drawn = true;
    }
    bool m_shown;
    bool m_drawn = false;
    std::string m_phase;
    std::chrono::milliseconds m_delay{1000};
    Clock::time_point m_start = Clock::now();
};

// Reads the files into one model; false, with the file and line on standard error, when one
// cannot be read.
bool Load(const std::vector<std::string>& paths, bool keepSpans, ProgressLine& progress,
          RunModel& model) {
    ModelBuilder builder(keepSpans);
    for (const std::string& path : paths) {
        progress.Phase("reading " + path);
        builder.BeginFile(path);
        try {
            const ReadSummary read = ReadEventFile(
                path, [&builder](const EventRow& row) { builder.Add(row); },
                [&progress](uint64_t done, uint64_t total) { progress.Read(done, total); });
            builder.EndFile(read);
        } catch (const BadEventFile& e) {
            progress.Clear();
            Error(e.what());
            return false;
        }
    }
    model = builder.Finish();
    return true;
}

// The identity of a file that exists, to tell whether two names are one file.
std::optional<std::pair<dev_t, ino_t>> Identity(const std::string& path) {
    struct stat info {};
    const int result = path == "-" ? ::fstat(STDIN_FILENO, &info) : ::stat(path.c_str(), &info);
    if (result != 0) {
        return std::nullopt;
    }
    return std::make_pair(info.st_dev, info.st_ino);
}

// An output that names an input, however spelled (another path, a hard link, standard input
// redirected from it), would destroy it: refused before anything is read or written.
bool OutputsSpareInputs(const std::vector<std::string>& inputs,
                        const std::vector<std::string>& outputs) {
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].empty()) {
            continue;
        }
        const auto output = Identity(outputs[i]);
        for (const std::string& input : inputs) {
            const auto in = Identity(input);
            if ((output && in && *output == *in) || outputs[i] == input) {
                Error("refusing to write " + outputs[i] + ": it is the input file " + input);
                return false;
            }
        }
        for (size_t k = 0; k < i; ++k) {
            if (outputs[k] == outputs[i] || (output && Identity(outputs[k]) == output)) {
                Error("refusing to write two outputs to " + outputs[i]);
                return false;
            }
        }
    }
    return true;
}

bool Write(const std::string& path, bool quiet, ProgressLine& progress,
           const std::function<void(std::ostream&)>& write) {
    progress.Phase("writing " + path);
    std::string error;
    uint64_t size = 0;
    const bool ok = WriteFile(path, write, error, size);
    progress.Clear();
    if (!ok) {
        Error("cannot write " + path + ": " + error);
    } else if (!quiet) {
        std::cerr << TerminalText("wrote " + path + " (" + Bytes(size) + ")") << "\n";
    }
    return ok;
}

// The edit distance of two short option names, for "did you mean".
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Parses the command line; on a usage error prints the parser's message, a near option when
// there is one, and returns kUsage. --help and --version return 0.
std::optional<int> Parse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = "quillmetrics-report: " + std::string(e.what());
        for (int i = 1; i < argc; ++i) {
            const std::string given =
                std::string(argv[i]).substr(0, std::string(argv[i]).find('='));
            if (given.size() < 3 || given.compare(0, 2, "--") != 0) {
                continue;
            }
            for (const CLI::Option* option : app.get_options()) {
                for (const std::string& name : option->get_lnames()) {
                    if (given != "--" + name && Distance(given, "--" + name) <= 2) {
                        message += " (did you mean --" + name + "?)";
                    }
                }
            }
        }
        std::cerr << TerminalText(message) << "\nRun with --help for the options.\n";
        return kUsage;
    }
}

// quillmetrics-report diff BASE NEW: exit 0, 1 for unreadable input, 2 for a usage error or a
// regression past --fail-above.
int RunDiffCommand(int argc, char** argv) {
    CLI::App app("Compares the scope statistics of two runs, the largest regression first.",
                 "quillmetrics-report diff");
    std::string basePath;
    std::string newPath;
    std::string html;
    bool quiet = false;
    DiffGate gate;
    app.add_option("base", basePath, "CSV event file of the run to compare against")->required();
    app.add_option("new", newPath, "CSV event file of the run to judge")->required();
    app.add_option("--fail-above", gate.failAbove,
                   "exit 2 when a scope's p50 or p95 got slower by more than PCT percent, naming "
                   "each such scope")
        ->type_name("PCT")
        ->check(CLI::Validator(
            [](std::string& text) {
                double value = -1;
                return CLI::detail::lexical_cast(text, value) && value >= 0
                           ? std::string()
                           : "must be a number of percent, 0 or more";
            },
            ""));
    app.add_option("--min-count", gate.minCount,
                   "judge only scopes with at least N samples in each run (default 5)")
        ->type_name("N")
        ->check(CLI::Validator(
            [](std::string& text) {
                size_t value = 0;
                return CLI::detail::lexical_cast(text, value) && value >= 1
                           ? std::string()
                           : "must be a whole number, 1 or more";
            },
            ""));
    app.add_option("--html", html, "write the comparison as a self-contained HTML page");
    app.add_flag("-q,--quiet", quiet, "do not confirm written files");
    app.set_version_flag("--version", QUILLMETRICS_VERSION);
    if (const auto exit = Parse(app, argc, argv)) {
        return *exit;
    }
    if (!OutputsSpareInputs({basePath, newPath}, {html})) {
        return kUsage;
    }
    ProgressLine progress;
    RunModel base;
    RunModel now;
    if (!Load({basePath}, false, progress, base) || !Load({newPath}, false, progress, now)) {
        return kBadInput;
    }
    progress.Clear();
    for (const RunModel* run : {&base, &now}) {
        if (run->events == 0) {
            Error(run->files.front().path + ": no events recorded");
            return kBadInput;
        }
    }
    const RunDiff diff = DiffRuns(base, now, basePath, newPath);
    if (diff.common.empty()) {
        Error(basePath + " and " + newPath + " have no scope in common");
        return kBadInput;
    }
    PrintDiff(std::cout, diff);
    const GateVerdict verdict = Judge(diff, gate);
    if (!html.empty() && !Write(html, quiet, progress, [&](std::ostream& out) {
            WriteDiffHtml(out, diff, gate, verdict);
        })) {
        return kBadInput;
    }
    PrintVerdict(std::cerr, verdict, gate);
    return verdict.failed.empty() ? 0 : kRegressed;
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
                   "CSV event files written by the raw client (- for standard input); several are "
                   "taken as the runs of as many processes")
        ->required();
    app.add_option("--html", html, "write a self-contained HTML page with a flame-chart timeline");
    app.add_option("--trace", trace, "write trace-event JSON (Perfetto UI, chrome://tracing)");
    app.add_flag("-q,--quiet", quiet, "print neither the summary nor the files written");
    app.add_flag("--tree", summary.tree,
                 "print the context tree too (long runs of siblings of one name folded)");
    app.set_version_flag("--version", QUILLMETRICS_VERSION);
    if (const auto exit = Parse(app, argc, argv)) {
        return *exit;
    }
    if (!OutputsSpareInputs(inputs, {html, trace})) {
        return kUsage;
    }
    ProgressLine progress;
    RunModel model;
    if (!Load(inputs, !html.empty() || !trace.empty(), progress, model)) {
        return kBadInput;
    }
    if (!quiet) {
        progress.Phase("summarising");
        std::ostringstream text;
        PrintSummary(text, model, summary);
        progress.Clear();
        std::cout << text.str() << std::flush;
    } else {
        for (const RunFile& file : model.files) {
            if (file.cutLine != 0) {
                Error("warning: " + file.path + ":" + std::to_string(file.cutLine) +
                      ": the last line is cut off; it is left out");
            }
        }
    }
    bool ok = true;
    if (!trace.empty()) {
        ok =
            Write(trace, quiet, progress, [&](std::ostream& out) { WriteTrace(out, model); }) && ok;
    }
    if (!html.empty()) {
        ok = Write(html, quiet, progress, [&](std::ostream& out) { WriteHtml(out, model); }) && ok;
    }
    return ok ? 0 : kBadInput;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Error(e.what());
    } catch (...) {
        Error("failed");
    }
    return kBadInput;
}
