// The report's outputs: the terminal summary, the HTML timeline and the trace-event JSON. Values
// are written byte for byte as the file holds them, which need not be UTF-8: each output repairs
// them into valid UTF-8 (U+FFFD for a stray byte).

#include "ReportOutput.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ReportText.h"

namespace Metrics::Report {

namespace {

constexpr auto kScopeEmit = static_cast<int32_t>(Metrics::MetricsEventType::ScopeEmit);

// A line of the context tree: a context at its depth, or a fold standing for `folded` more
// siblings of one name.
struct TreeLine {
    uint64_t id = 0;
    int depth = 0;
    size_t folded = 0;
    std::string name;
};

// Contexts in tree order (each under its parent); a run of more than
// kFoldAbove siblings of one name shows its first kShownOfRun and one line for the rest.
constexpr size_t kFoldAbove = 5;
constexpr size_t kShownOfRun = 3;

std::vector<TreeLine> ContextTree(const RunModel& model) {
    std::map<uint64_t, std::vector<uint64_t>> children;
    std::vector<uint64_t> roots;
    for (const auto& [id, context] : model.contexts) {
        if (context.parent != 0 && model.contexts.count(context.parent) != 0) {
            children[context.parent].push_back(id);
        } else {
            roots.push_back(id);
        }
    }
    std::vector<TreeLine> order;
    std::function<void(const std::vector<uint64_t>&, int)> visit =
        [&](const std::vector<uint64_t>& siblings, int depth) {
            for (size_t i = 0; i < siblings.size();) {
                const std::string& name = model.contexts.at(siblings[i]).name;
                size_t run = 1;
                while (i + run < siblings.size() &&
                       model.contexts.at(siblings[i + run]).name == name) {
                    ++run;
                }
                const size_t shown = run > kFoldAbove ? kShownOfRun : run;
                for (size_t k = 0; k < shown; ++k) {
                    order.push_back({siblings[i + k], depth, 0, name});
                    visit(children[siblings[i + k]], depth + 1);
                }
                if (shown < run) {
                    order.push_back({0, depth, run - shown, name.empty() ? "unnamed" : name});
                }
                i += run;
            }
        };
    visit(roots, 0);
    return order;
}

std::string ContextLabel(const ContextInfo& context) {
    std::string label = "context " + std::to_string(context.id);
    if (!context.name.empty()) {
        label += " (" + context.name + ")";
    }
    return label;
}

void WriteRunLine(std::ostream& out, const std::string& path, const EventFile& file,
                  const RunModel& model) {
    out << path << ": " << model.events << " events";
    if (model.events != 0) {
        out << " from " << model.firstDatetime << " to " << model.lastDatetime << " ("
            << Milliseconds(model.lastTs - model.firstTs) << " ms)";
    }
    out << "\n";
    if (file.lastLineCut) {
        out << "note: the last line was cut (a run still being written, or one that ended "
               "abruptly); it is left out\n";
    }
}

void WriteContextTree(std::ostream& out, const RunModel& model) {
    for (const TreeLine& entry : ContextTree(model)) {
        out << "  " << std::string(static_cast<size_t>(entry.depth) * 2, ' ');
        if (entry.folded != 0) {
            out << "\u2026 " << entry.folded << " more " << entry.name << "\n";
            continue;
        }
        const ContextInfo& context = model.contexts.at(entry.id);
        out << ContextLabel(context) << " parent " << context.parent;
        if (context.opened && context.closed) {
            out << ", lived " << Milliseconds(context.closeTs - context.openTs) << " ms";
        } else if (context.opened) {
            out << ", still open at the end";
        }
        out << "\n";
    }
}

void WriteSummary(std::ostream& out, const std::vector<LoadedRun>& runs, const RunModel& model,
                  const SummaryOptions& options) {
    if (runs.size() > 1) {
        out << runs.size() << " runs, one process each, merged below:\n";
    }
    for (const LoadedRun& run : runs) {
        out << (runs.size() > 1 ? "  " : "");
        WriteRunLine(out, run.path, run.file, run.model);
    }
    out << "\nevents by type:\n";
    for (const auto& [type, count] : model.byType) {
        out << "  " << TypeName(type) << " (" << type << "): " << count << "\n";
    }
    const std::vector<ContextGroup> groups = model.ContextGroups();
    out << "\ncontexts: " << model.contexts.size() << " in " << groups.size()
        << " groups by name; lifetimes (ms):\n";
    char line[256];
    std::snprintf(line, sizeof(line), "  %-24s %8s %10s %10s %10s %10s\n", "name", "count", "p50",
                  "p95", "max", "open");
    out << line;
    for (const ContextGroup& g : groups) {
        std::snprintf(line, sizeof(line), "  %-24s %8zu %10s %10s %10s %10zu\n",
                      g.name.substr(0, 24).c_str(), g.count, Milliseconds(g.lifetimes.p50).c_str(),
                      Milliseconds(g.lifetimes.p95).c_str(), Milliseconds(g.lifetimes.max).c_str(),
                      g.stillOpen);
        out << line;
    }
    if (options.tree) {
        for (const LoadedRun& run : runs) {
            out << "\ncontext tree" << (runs.size() > 1 ? " of " + run.path : std::string())
                << ":\n";
            WriteContextTree(out, run.model);
        }
    }
    out << "\nscopes by total time (ms):\n";
    std::snprintf(line, sizeof(line), "  %-24s %8s %12s %10s %10s %10s %10s\n", "scope", "count",
                  "total", "mean", "p50", "p95", "max");
    out << line;
    for (const ScopeStats& s : model.StatsByTotal()) {
        std::snprintf(line, sizeof(line), "  %-24s %8zu %12s %10s %10s %10s %10s\n",
                      s.name.substr(0, 24).c_str(), s.count, Milliseconds(s.total).c_str(),
                      Milliseconds(s.mean).c_str(), Milliseconds(s.p50).c_str(),
                      Milliseconds(s.p95).c_str(), Milliseconds(s.max).c_str());
        out << line;
    }
    out << "  unpaired: " << model.unpairedOpens << " opens, " << model.unpairedCloses
        << " closes\n";
    out << "\nattributes:\n";
    for (const auto& [name, entry] : model.attributes) {
        out << "  " << name << " (" << entry.second << "x):";
        for (const std::string& value : entry.first) {
            out << " " << value;
        }
        if (entry.second > entry.first.size() && entry.first.size() == 5) {
            out << " ...";
        }
        out << "\n";
    }
}

// Trace-event JSON: one track per context, scopes as async slices with an id per scope, attributes
// and values as instant events, and each context's life as a complete slice. Written directly:
// building a JSON document of a million events first would cost many times the run itself.
struct Timed {
    uint64_t ts;
    std::string text;
};

// One run's metadata goes out at once, its events into timed.
void TraceRun(std::ostream& out, const RunModel& model, const std::string& process, int pid,
              std::vector<Timed>& timed) {
    char number[64];
    const auto micros = [&](uint64_t ts) {
        std::snprintf(number, sizeof(number), "%.3f", static_cast<double>(ts) / 1000.0);
        return std::string(number);
    };
    const std::string pidText = std::to_string(pid);
    out << (pid > 1 ? ",\n" : "") << R"({"ph":"M","name":"process_name","pid":)" << pid
        << R"(,"tid":0,"args":{"name":)" << JsonQuoted(process) << "}}";
    for (const auto& [id, context] : model.contexts) {
        const std::string label = JsonQuoted(ContextLabel(context));
        out << ",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":" << pid << ",\"tid\":" << id
            << R"(,"args":{"name":)" << label << "}}";
        if (context.opened) {
            const uint64_t end = context.closed ? context.closeTs : model.lastTs;
            std::string text = R"({"ph":"X","name":)" + label;
            text += R"(,"cat":"context","pid":)" + pidText;
            text += ",\"tid\":" + std::to_string(id);
            text += ",\"ts\":" + micros(context.openTs);
            text += ",\"dur\":" + micros(end - context.openTs);
            text += R"(,"args":{"parent":)" + std::to_string(context.parent) + "}}";
            timed.push_back({context.openTs, std::move(text)});
        }
    }
    unsigned long long scopeId = 0;
    for (const ScopeSpan& span : model.scopes) {
        const std::string common =
            ",\"name\":" + JsonQuoted(span.name) + R"(,"cat":"scope","pid":)" + pidText +
            ",\"tid\":" + std::to_string(span.context) + ",\"id\":" + std::to_string(++scopeId);
        timed.push_back(
            {span.begin, R"({"ph":"b")" + common + ",\"ts\":" + micros(span.begin) + "}"});
        timed.push_back({span.end, R"({"ph":"e")" + common + ",\"ts\":" + micros(span.end) + "}"});
    }
    for (const Mark& mark : model.marks) {
        const std::string name = JsonQuoted(mark.name);
        std::string text = R"({"ph":"i","s":"t","name":)";
        text += name;
        text += R"(,"cat":")";
        text += mark.type == kScopeEmit ? "value" : "attribute";
        text += R"(","pid":)" + pidText + ",\"tid\":" + std::to_string(mark.context);
        text += ",\"ts\":" + micros(mark.ts);
        text += ",\"args\":{" + name + ":" + JsonQuoted(mark.value) + "}}";
        timed.push_back({mark.ts, std::move(text)});
    }
}

}  // namespace

void WriteTrace(std::ostream& out, const std::vector<LoadedRun>& runs) {
    std::vector<Timed> timed;
    out << "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        TraceRun(out, runs[i].model, runs.size() == 1 ? "quillmetrics run" : runs[i].path,
                 static_cast<int>(i + 1), timed);
    }
    // Viewers want each track's events in time order.
    std::stable_sort(timed.begin(), timed.end(),
                     [](const Timed& a, const Timed& b) { return a.ts < b.ts; });
    for (const Timed& event : timed) {
        out << ",\n" << event.text;
    }
    out << "\n]}\n";
}

bool WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write) {
    // Written beside the target and renamed over it once complete: a failure part-way leaves
    // the previous file, or none, never half of a new one.
    const std::string partial = path + ".partial";
    bool ok = false;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::cerr << "quillmetrics-report: cannot write " << path << "\n";
            return false;
        }
        write(out);
        out.flush();
        ok = static_cast<bool>(out);
    }
    if (ok && std::rename(partial.c_str(), path.c_str()) == 0) {
        return true;
    }
    std::remove(partial.c_str());
    std::cerr << "quillmetrics-report: writing " << path << " failed\n";
    return false;
}

RunModel MergedModel(const std::vector<LoadedRun>& runs) {
    std::vector<const RunModel*> models;
    models.reserve(runs.size());
    for (const LoadedRun& run : runs) {
        models.push_back(&run.model);
    }
    return MergeModels(models);
}

void PrintSummary(std::ostream& out, const std::vector<LoadedRun>& runs,
                  const SummaryOptions& options) {
    std::ostringstream text;
    WriteSummary(text, runs, MergedModel(runs), options);
    out << Metrics::ValidUtf8(text.str());
}

}  // namespace Metrics::Report
