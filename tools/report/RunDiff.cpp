#include "RunDiff.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "ReportText.h"

namespace Metrics::Report {

namespace {

double Change(uint64_t base, uint64_t now) {
    if (base == 0) {
        return now == 0 ? 0 : std::numeric_limits<double>::infinity();
    }
    return (static_cast<double>(now) - static_cast<double>(base)) / static_cast<double>(base) * 100;
}

std::string Percent(double change) {
    if (std::isinf(change)) {
        return "+inf%";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f%%", change);
    return text;
}

}  // namespace

RunDiff DiffRuns(const RunModel& base, const RunModel& now) {
    std::map<std::string, DurationStats> before;
    for (const ScopeStats& s : base.StatsByTotal()) {
        before[s.name] = static_cast<const DurationStats&>(s);
    }
    RunDiff diff;
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

bool RegressedAbove(const RunDiff& diff, double percent) {
    return std::any_of(diff.common.begin(), diff.common.end(),
                       [percent](const ScopeChange& c) { return c.Worst() > percent; });
}

void PrintDiff(std::ostream& out, const std::string& basePath, const std::string& newPath,
               const RunDiff& diff) {
    std::string text =
        "scopes of " + newPath + " against " + basePath + " (ms), the largest regression first:\n";
    char line[512];
    std::snprintf(line, sizeof line, "  %-20s %13s %19s %28s %28s %23s\n", "scope", "count", "mean",
                  "p50", "p95", "total");
    text += line;
    std::snprintf(line, sizeof line, "  %-20s %6s %6s %9s %9s %9s %9s %8s %9s %9s %8s %11s %11s\n",
                  "", "base", "new", "base", "new", "base", "new", "change", "base", "new",
                  "change", "base", "new");
    text += line;
    for (const ScopeChange& c : diff.common) {
        std::snprintf(line, sizeof line,
                      "  %-20s %6zu %6zu %9s %9s %9s %9s %8s %9s %9s %8s %11s %11s\n",
                      c.name.substr(0, 20).c_str(), c.base.count, c.now.count,
                      Milliseconds(c.base.mean).c_str(), Milliseconds(c.now.mean).c_str(),
                      Milliseconds(c.base.p50).c_str(), Milliseconds(c.now.p50).c_str(),
                      Percent(c.p50Change).c_str(), Milliseconds(c.base.p95).c_str(),
                      Milliseconds(c.now.p95).c_str(), Percent(c.p95Change).c_str(),
                      Milliseconds(c.base.total).c_str(), Milliseconds(c.now.total).c_str());
        text += line;
    }
    for (const auto& [label, names] : {std::make_pair("only in " + basePath, &diff.onlyInBase),
                                       std::make_pair("only in " + newPath, &diff.onlyInNew)}) {
        if (!names->empty()) {
            text += label + ":";
            for (const std::string& name : *names) {
                text += " " + name;
            }
            text += "\n";
        }
    }
    out << ValidUtf8(text);
}

void WriteDiffHtml(std::ostream& out, const std::string& basePath, const std::string& newPath,
                   const RunDiff& diff) {
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillmetrics diff</title>"
        << "<style>body{font-family:sans-serif;margin:16px}td,th{padding:2px 8px;text-align:right}"
        << "td:first-child{text-align:left}.slower{color:#b00020}.faster{color:#1b7a3a}</style>"
        << "</head><body>\n<h1>" << HtmlEscape(newPath) << " against " << HtmlEscape(basePath)
        << "</h1>\n<table id=\"diff\"><tr><th>scope</th><th>count</th><th>count</th>"
        << "<th>mean ms</th><th>mean ms</th><th>p50 ms</th><th>p50 ms</th><th>p50</th>"
        << "<th>p95 ms</th><th>p95 ms</th><th>p95</th><th>total ms</th><th>total ms</th></tr>\n";
    const auto cell = [](double change) {
        const char* kind = change > 0 ? "slower" : change < 0 ? "faster" : "same";
        return "<td class=\"" + std::string(kind) + "\">" + Percent(change) + "</td>";
    };
    for (const ScopeChange& c : diff.common) {
        out << "<tr><td>" << HtmlEscape(c.name) << "</td><td>" << c.base.count << "</td><td>"
            << c.now.count << "</td><td>" << Milliseconds(c.base.mean) << "</td><td>"
            << Milliseconds(c.now.mean) << "</td><td>" << Milliseconds(c.base.p50) << "</td><td>"
            << Milliseconds(c.now.p50) << "</td>" << cell(c.p50Change) << "<td>"
            << Milliseconds(c.base.p95) << "</td><td>" << Milliseconds(c.now.p95) << "</td>"
            << cell(c.p95Change) << "<td>" << Milliseconds(c.base.total) << "</td><td>"
            << Milliseconds(c.now.total) << "</td></tr>\n";
    }
    out << "</table>\n";
    for (const auto& [label, names] :
         {std::make_pair(basePath, &diff.onlyInBase), std::make_pair(newPath, &diff.onlyInNew)}) {
        if (!names->empty()) {
            out << "<p>only in " << HtmlEscape(label) << ":";
            for (const std::string& name : *names) {
                out << " " << HtmlEscape(name);
            }
            out << "</p>\n";
        }
    }
    out << "</body></html>\n";
}

}  // namespace Metrics::Report
