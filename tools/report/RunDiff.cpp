#include "RunDiff.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <sstream>

#include "ReportText.h"

namespace Metrics::Report {

namespace {

// Names in the text are cut to this many characters: a file may hold megabytes in one.
constexpr size_t kLongestName = 40;

// The change in percent. The difference is scaled before it is divided, so a change of exactly
// the threshold (10 to 11 against 10%) comes out exact and does not trip the gate.
double Change(uint64_t base, uint64_t now) {
    if (base == 0) {
        return now == 0 ? 0 : std::numeric_limits<double>::infinity();
    }
    return (static_cast<double>(now) - static_cast<double>(base)) * 100 / static_cast<double>(base);
}

std::string Percent(double change) {
    if (std::isinf(change)) {
        return "+inf%";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f%%", change);
    return text;
}

std::string Threshold(double percent) {
    std::ostringstream text;
    text << percent << "%";
    return text.str();
}

}  // namespace

RunDiff DiffRuns(const RunModel& base, const RunModel& now, const std::string& basePath,
                 const std::string& newPath) {
    std::map<std::string, DurationStats> before;
    for (const ScopeStats& s : base.StatsByTotal()) {
        before[s.name] = static_cast<const DurationStats&>(s);
    }
    RunDiff diff;
    diff.basePath = basePath;
    diff.newPath = newPath;
    for (const ScopeStats& s : now.StatsByTotal()) {
        const auto found = before.find(s.name);
        if (found == before.end()) {
            diff.onlyInNew.push_back(s.name);
            continue;
        }
        ScopeChange change;
        change.name = s.name;
        change.base = found->second;
        change.now = static_cast<const DurationStats&>(s);
        change.p50Change = Change(change.base.p50, change.now.p50);
        change.p95Change = Change(change.base.p95, change.now.p95);
        diff.common.push_back(std::move(change));
        before.erase(found);
    }
    for (const auto& [name, stats] : before) {
        diff.onlyInBase.push_back(name);
    }
    std::sort(diff.onlyInNew.begin(), diff.onlyInNew.end());
    std::stable_sort(diff.common.begin(), diff.common.end(),
                     [](const ScopeChange& a, const ScopeChange& b) {
                         return a.Worst() != b.Worst() ? a.Worst() > b.Worst() : a.name < b.name;
                     });
    return diff;
}

GateVerdict Judge(const RunDiff& diff, const DiffGate& gate) {
    GateVerdict verdict;
    if (gate.failAbove < 0) {
        return verdict;
    }
    for (const ScopeChange& c : diff.common) {
        if (c.base.count < gate.minCount || c.now.count < gate.minCount) {
            ++verdict.tooFew;
        } else if (c.Worst() > gate.failAbove) {
            verdict.failed.push_back(&c);
        }
    }
    return verdict;
}

void PrintDiff(std::ostream& out, const RunDiff& diff) {
    std::string text = "base: " + diff.basePath + "\nnew:  " + diff.newPath +
                       "\nscopes in both, the largest regression first:\n";
    text += Row({{"", -20}, {"count", 13}, {"p50", 27}, {"p95", 27}, {"mean", 7}});
    text += Row({{"scope", -20},
                 {"base", 6},
                 {"new", 6},
                 {"base", 9},
                 {"new", 9},
                 {"change", 7},
                 {"base", 9},
                 {"new", 9},
                 {"change", 7},
                 {"change", 7}});
    for (const ScopeChange& c : diff.common) {
        text += Row({{Clip(c.name, 20), -20},
                     {std::to_string(c.base.count), 6},
                     {std::to_string(c.now.count), 6},
                     {Duration(c.base.p50), 9},
                     {Duration(c.now.p50), 9},
                     {Percent(c.p50Change), 7},
                     {Duration(c.base.p95), 9},
                     {Duration(c.now.p95), 9},
                     {Percent(c.p95Change), 7},
                     {Percent(Change(c.base.mean, c.now.mean)), 7}});
    }
    for (const auto& [label, names] : {std::make_pair("only in base:", &diff.onlyInBase),
                                       std::make_pair("only in new:", &diff.onlyInNew)}) {
        if (!names->empty()) {
            text += label;
            for (const std::string& name : *names) {
                text += " " + Clip(name, kLongestName);
            }
            text += "\n";
        }
    }
    out << TerminalText(text);
}

void PrintVerdict(std::ostream& out, const GateVerdict& verdict, const DiffGate& gate) {
    std::string text;
    for (const ScopeChange* c : verdict.failed) {
        text += "quillmetrics-report: " + Clip(c->name, kLongestName) +
                " got slower by more than " + Threshold(gate.failAbove) + ": p50 " +
                Duration(c->base.p50) + " \u2192 " + Duration(c->now.p50) + " (" +
                Percent(c->p50Change) + "), p95 " + Duration(c->base.p95) + " \u2192 " +
                Duration(c->now.p95) + " (" + Percent(c->p95Change) + ")\n";
    }
    if (verdict.tooFew != 0) {
        text += "quillmetrics-report: " + std::to_string(verdict.tooFew) +
                " scope(s) with fewer than " + std::to_string(gate.minCount) +
                " samples in a run were not judged (--min-count)\n";
    }
    out << TerminalText(text);
}

void WriteDiffHtml(std::ostream& out, const RunDiff& diff, const DiffGate& gate,
                   const GateVerdict& verdict) {
    const std::string base = HtmlEscape(diff.basePath);
    const std::string now = HtmlEscape(diff.newPath);
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillmetrics diff</title>"
        << "<style>body{font-family:sans-serif;margin:16px}td,th{padding:2px 8px;text-align:right}"
        << "td:first-child{text-align:left}.slower{color:#b00020}.faster{color:#1b7a3a}"
        << ".fail{background:#fde7ea}#verdict.failed{color:#b00020}#verdict.passed{color:#1b7a3a}"
        << "</style></head><body>\n<h1>" << now << " against " << base << "</h1>\n";
    if (gate.failAbove >= 0) {
        out << R"(<p id="verdict" class=")" << (verdict.failed.empty() ? "passed" : "failed")
            << "\">Gate: fail when a scope's p50 or p95 is more than "
            << HtmlEscape(Threshold(gate.failAbove)) << " slower (scopes with at least "
            << gate.minCount << " samples in each run): "
            << (verdict.failed.empty()
                    ? "passed"
                    : "failed, " + std::to_string(verdict.failed.size()) + " scope(s) regressed")
            << (verdict.tooFew != 0 ? "; " + std::to_string(verdict.tooFew) + " not judged" : "")
            << "</p>\n";
    }
    out << "<table id=\"diff\"><tr><th>scope</th><th>count " << base << "</th><th>count " << now
        << "</th><th>p50 " << base << "</th><th>p50 " << now << "</th><th>p50 change</th><th>p95 "
        << base << "</th><th>p95 " << now << "</th><th>p95 change</th><th>mean " << base
        << "</th><th>mean " << now << "</th></tr>\n";
    const auto cell = [](double change) {
        const char* kind = change > 0 ? "slower" : change < 0 ? "faster" : "same";
        return "<td class=\"" + std::string(kind) + "\">" + Percent(change) + "</td>";
    };
    for (const ScopeChange& c : diff.common) {
        const bool failed =
            std::find(verdict.failed.begin(), verdict.failed.end(), &c) != verdict.failed.end();
        out << (failed ? "<tr class=\"fail\">" : "<tr>") << "<td>" << HtmlEscape(c.name)
            << "</td><td>" << c.base.count << "</td><td>" << c.now.count << "</td><td>"
            << Duration(c.base.p50) << "</td><td>" << Duration(c.now.p50) << "</td>"
            << cell(c.p50Change) << "<td>" << Duration(c.base.p95) << "</td><td>"
            << Duration(c.now.p95) << "</td>" << cell(c.p95Change) << "<td>"
            << Duration(c.base.mean) << "</td><td>" << Duration(c.now.mean) << "</td></tr>\n";
    }
    out << "</table>\n";
    for (const auto& [label, names] :
         {std::make_pair(base, &diff.onlyInBase), std::make_pair(now, &diff.onlyInNew)}) {
        if (!names->empty()) {
            out << "<p>only in " << label << ":";
            for (const std::string& name : *names) {
                out << " " << HtmlEscape(name);
            }
            out << "</p>\n";
        }
    }
    out << "</body></html>\n";
}

}  // namespace Metrics::Report
