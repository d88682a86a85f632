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

#include "Utf8.h"

namespace Metrics::Report {

namespace {

constexpr auto kScopeEmit = static_cast<int32_t>(Metrics::MetricsEventType::ScopeEmit);

std::string Milliseconds(uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(ns) / 1e6);
    return text;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : Metrics::ValidUtf8(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A line of the context tree: a context at its depth, or a fold standing for `folded` more
// siblings of one name.
struct TreeLine {
    uint64_t id = 0;
    int depth = 0;
    size_t folded = 0;
    std::string name;
};

// Contexts in tree order (each under its parent). When fold is set, a run of more than
// kFoldAbove siblings of one name shows its first kShownOfRun and one line for the rest.
constexpr size_t kFoldAbove = 5;
constexpr size_t kShownOfRun = 3;

std::vector<TreeLine> ContextTree(const RunModel& model, bool fold) {
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
                const size_t shown = fold && run > kFoldAbove ? kShownOfRun : run;
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

void WriteSummary(std::ostream& out, const std::string& path, const EventFile& file,
                  const RunModel& model, const SummaryOptions& options) {
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
        out << "\ncontext tree:\n";
        for (const TreeLine& entry : ContextTree(model, true)) {
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

std::string Quoted(const std::string& text) {
    return nlohmann::json(Metrics::ValidUtf8(text)).dump();
}

}  // namespace

// Trace-event JSON: one track per context, scopes as async slices with an id per scope, attributes
// and values as instant events, and each context's life as a complete slice. Written directly:
// building a JSON document of a million events first would cost many times the run itself.
void WriteTrace(std::ostream& out, const RunModel& model) {
    struct Timed {
        uint64_t ts;
        std::string text;
    };
    std::vector<Timed> timed;
    timed.reserve(model.contexts.size() + 2 * model.scopes.size() + model.marks.size());
    char number[64];
    const auto micros = [&](uint64_t ts) {
        std::snprintf(number, sizeof(number), "%.3f", static_cast<double>(ts) / 1000.0);
        return std::string(number);
    };
    out << "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    out << R"({"ph":"M","name":"process_name","pid":1,"tid":0,"args":{"name":"quillmetrics run"}})";
    for (const auto& [id, context] : model.contexts) {
        const std::string label = Quoted(ContextLabel(context));
        out << ",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":1,\"tid\":" << id
            << R"(,"args":{"name":)" << label << "}}";
        if (context.opened) {
            const uint64_t end = context.closed ? context.closeTs : model.lastTs;
            timed.push_back({context.openTs,
                             R"({"ph":"X","name":)" + label + R"(,"cat":"context","pid":1,"tid":)" +
                                 std::to_string(id) + ",\"ts\":" + micros(context.openTs) +
                                 ",\"dur\":" + micros(end - context.openTs) +
                                 R"(,"args":{"parent":)" + std::to_string(context.parent) + "}}"});
        }
    }
    unsigned long long scopeId = 0;
    for (const ScopeSpan& span : model.scopes) {
        const std::string common =
            ",\"name\":" + Quoted(span.name) + R"(,"cat":"scope","pid":1,"tid":)" +
            std::to_string(span.context) + ",\"id\":" + std::to_string(++scopeId);
        timed.push_back(
            {span.begin, R"({"ph":"b")" + common + ",\"ts\":" + micros(span.begin) + "}"});
        timed.push_back({span.end, R"({"ph":"e")" + common + ",\"ts\":" + micros(span.end) + "}"});
    }
    for (const Mark& mark : model.marks) {
        const std::string name = Quoted(mark.name);
        std::string text = R"({"ph":"i","s":"t","name":)";
        text += name;
        text += R"(,"cat":")";
        text += mark.type == kScopeEmit ? "value" : "attribute";
        text += R"(","pid":1,"tid":)" + std::to_string(mark.context);
        text += ",\"ts\":" + micros(mark.ts);
        text += ",\"args\":{" + name + ":" + Quoted(mark.value) + "}}";
        timed.push_back({mark.ts, std::move(text)});
    }
    // Viewers want each track's events in time order.
    std::stable_sort(timed.begin(), timed.end(),
                     [](const Timed& a, const Timed& b) { return a.ts < b.ts; });
    for (const Timed& event : timed) {
        out << ",\n" << event.text;
    }
    out << "\n]}\n";
}

// The most items the timeline draws one by one; beyond it, short scopes and marks are drawn as
// per-lane density strips instead.
constexpr size_t kMaxDrawn = 20000;

void WriteHtml(std::ostream& out, const std::string& path, const EventFile& file,
               const RunModel& model) {
    const auto tree = ContextTree(model, false);
    std::map<uint64_t, size_t> lane;
    for (size_t i = 0; i < tree.size(); ++i) {
        lane[tree[i].id] = i;
    }
    const double width = 1600;
    const double left = 260;
    const double laneHeight = 22;
    const double span = std::max<double>(1.0, static_cast<double>(model.lastTs - model.firstTs));
    const auto x = [&](uint64_t ts) {
        return left + (width - left - 10) * static_cast<double>(ts - model.firstTs) / span;
    };
    const bool aggregate = model.scopes.size() + model.marks.size() > kMaxDrawn;
    const double minWidth = aggregate ? 2.0 : 0.0;

    std::ostringstream summary;
    WriteSummary(summary, path, file, model, SummaryOptions());
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillmetrics run: "
        << Escape(path) << "</title>\n<style>body{font-family:sans-serif;margin:16px}"
        << "pre{background:#f6f6f6;padding:8px}rect.scope{fill:#4a90d9;stroke:#1d4f80}"
        << "rect.context{fill:#e8eef5}circle.attribute{fill:#d97a4a}circle.value{fill:#5aa469}"
        << "rect.density{fill:#888;opacity:.5}text{font-size:11px}text.scope{fill:#fff;"
        << "pointer-events:none}</style></head><body>\n";
    out << "<h1>quillmetrics run</h1>\n";
    if (aggregate) {
        out << "<p><b>This run has " << model.scopes.size() + model.marks.size()
            << " scopes and marks, too many to draw one by one: scopes shorter than two pixels "
               "and all marks are drawn as grey density strips per lane.</b></p>\n";
    }
    const double height = 40 + laneHeight * static_cast<double>(tree.size()) + 10;
    out << R"(<svg xmlns="http://www.w3.org/2000/svg" width=")" << width << "\" height=\"" << height
        << "\" id=\"timeline\">\n";
    // Time axis in milliseconds from the start.
    for (int tick = 0; tick <= 10; ++tick) {
        const double tx = left + (width - left - 10) * tick / 10.0;
        out << "<line x1=\"" << tx << R"(" y1="20" x2=")" << tx << "\" y2=\"" << height
            << R"(" stroke="#ddd"/><text x=")" << tx + 2 << R"(" y="14">)"
            << Milliseconds(static_cast<uint64_t>(span * tick / 10.0)) << " ms</text>\n";
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        const ContextInfo& context = model.contexts.at(tree[i].id);
        const double y = 30 + laneHeight * static_cast<double>(i);
        out << "<text x=\"" << 4 + 10 * tree[i].depth << "\" y=\"" << y + 14 << "\">"
            << Escape(ContextLabel(context)) << "</text>\n";
        if (context.opened) {
            const uint64_t end = context.closed ? context.closeTs : model.lastTs;
            out << R"(<rect class="context" x=")" << x(context.openTs) << "\" y=\"" << y
                << "\" width=\"" << std::max(1.0, x(end) - x(context.openTs)) << "\" height=\""
                << laneHeight - 2 << "\"><title>" << Escape(ContextLabel(context))
                << "</title></rect>\n";
        }
    }
    std::map<std::pair<size_t, int>, int> density;  // (lane, pixel column) -> items
    for (const ScopeSpan& s : model.scopes) {
        const auto found = lane.find(s.context);
        if (found == lane.end()) {
            continue;
        }
        const double x0 = x(s.begin);
        const double w = x(s.end) - x0;
        if (w < minWidth) {
            ++density[{found->second, static_cast<int>(x0)}];
            continue;
        }
        const double y =
            30 + laneHeight * static_cast<double>(found->second) + 3 + 2 * std::min(s.depth, 6);
        out << R"(<rect class="scope" x=")" << x0 << "\" y=\"" << y << "\" width=\""
            << std::max(1.0, w) << "\" height=\"" << laneHeight - 8 << "\"><title>"
            << Escape(s.name) << ": " << Milliseconds(s.end - s.begin) << " ms</title></rect>\n";
        if (w > 7.0 * static_cast<double>(s.name.size()) + 4) {
            out << R"(<text class="scope" x=")" << x0 + 2 << "\" y=\"" << y + laneHeight - 11
                << "\">" << Escape(s.name) << "</text>\n";
        }
    }
    for (const Mark& m : model.marks) {
        const auto found = lane.find(m.context);
        if (found == lane.end()) {
            continue;
        }
        if (aggregate) {
            ++density[{found->second, static_cast<int>(x(m.ts))}];
            continue;
        }
        out << "<circle class=\"" << (m.type == kScopeEmit ? "value" : "attribute") << "\" cx=\""
            << x(m.ts) << "\" cy=\""
            << 30 + laneHeight * static_cast<double>(found->second) + laneHeight - 4
            << R"(" r="3"><title>)" << Escape(m.name) << " = " << Escape(m.value)
            << "</title></circle>\n";
    }
    for (const auto& [key, count] : density) {
        out << R"(<rect class="density" x=")" << key.second << "\" y=\""
            << 30 + laneHeight * static_cast<double>(key.first) + laneHeight - 6
            << R"(" width="1" height="4"><title>)" << count << " items</title></rect>\n";
    }
    out << "</svg>\n<h2>Summary</h2>\n<pre>" << Escape(summary.str()) << "</pre>\n</body></html>\n";
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

void PrintSummary(std::ostream& out, const std::string& path, const EventFile& file,
                  const RunModel& model, const SummaryOptions& options) {
    std::ostringstream text;
    WriteSummary(text, path, file, model, options);
    out << Metrics::ValidUtf8(text.str());
}

}  // namespace Metrics::Report
