// The HTML page: one self-contained file, no network. The summary comes first, as static HTML;
// then a timeline that a small script draws from the run's data, embedded as JSON: lanes grouped
// by context name, zoom and pan, a filter and tooltips. The script draws only what is visible at
// the current zoom, and folds what is narrower than a pixel into density marks, so that a run of a
// million events stays usable.

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "ReportOutput.h"
#include "ReportText.h"

namespace Metrics::Report {

namespace {

constexpr size_t kSlowestShown = 10;
constexpr size_t kHistogramsShown = 5;
constexpr int kHistogramBins = 20;

// Log-spaced bins from the shortest to the longest duration, as a small bar chart.
void WriteHistogram(std::ostream& out, const std::string& name, const RunModel& model) {
    std::vector<uint64_t> durations;
    for (const ScopeSpan& span : model.scopes) {
        if (span.name == name) {
            durations.push_back(std::max<uint64_t>(1, span.end - span.begin));
        }
    }
    if (durations.empty()) {
        return;
    }
    const auto [low, high] = std::minmax_element(durations.begin(), durations.end());
    const double from = std::log(static_cast<double>(*low));
    const double width = std::max(1e-9, std::log(static_cast<double>(*high)) - from);
    std::vector<size_t> bins(kHistogramBins, 0);
    for (const uint64_t d : durations) {
        const auto bin = static_cast<size_t>((std::log(static_cast<double>(d)) - from) / width *
                                             (kHistogramBins - 1));
        ++bins[std::min<size_t>(bin, kHistogramBins - 1)];
    }
    const size_t most = *std::max_element(bins.begin(), bins.end());
    out << R"(<figure class="histogram"><svg width=")" << kHistogramBins * 8 << R"(" height="40">)";
    for (int i = 0; i < kHistogramBins; ++i) {
        const double h = 38.0 * static_cast<double>(bins[i]) / static_cast<double>(most);
        out << "<rect x=\"" << i * 8 << "\" y=\"" << 40 - h << R"(" width="7" height=")" << h
            << "\"><title>" << bins[i] << "</title></rect>";
    }
    out << "</svg><figcaption>" << HtmlEscape(name) << ": " << Milliseconds(*low) << " to "
        << Milliseconds(*high) << " ms</figcaption></figure>\n";
}

void WriteSummaryTables(std::ostream& out, const RunModel& model) {
    out << "<section id=\"summary\"><p>" << model.events << " events over "
        << Milliseconds(model.lastTs - model.firstTs) << " ms, " << model.contexts.size()
        << " contexts</p>\n<div class=\"tables\"><table><tr><th>event type</th><th>count</th></tr>";
    for (const auto& [type, count] : model.byType) {
        out << "<tr><td>" << TypeName(type) << "</td><td>" << count << "</td></tr>";
    }
    out << "</table>\n<table id=\"slowest\"><tr><th>scope</th><th>count</th><th>total ms</th>"
        << "<th>mean</th><th>p50</th><th>p95</th><th>max</th></tr>";
    const std::vector<ScopeStats> stats = model.StatsByTotal();
    for (size_t i = 0; i < stats.size() && i < kSlowestShown; ++i) {
        const ScopeStats& s = stats[i];
        out << "<tr><td>" << HtmlEscape(s.name) << "</td><td>" << s.count << "</td><td>"
            << Milliseconds(s.total) << "</td><td>" << Milliseconds(s.mean) << "</td><td>"
            << Milliseconds(s.p50) << "</td><td>" << Milliseconds(s.p95) << "</td><td>"
            << Milliseconds(s.max) << "</td></tr>";
    }
    out << "</table>\n<table><tr><th>contexts</th><th>count</th><th>p50 ms</th><th>p95</th>"
        << "<th>max</th></tr>";
    for (const ContextGroup& g : model.ContextGroups()) {
        out << "<tr><td>" << HtmlEscape(g.name) << "</td><td>" << g.count << "</td><td>"
            << Milliseconds(g.lifetimes.p50) << "</td><td>" << Milliseconds(g.lifetimes.p95)
            << "</td><td>" << Milliseconds(g.lifetimes.max) << "</td></tr>";
    }
    out << "</table></div>\n<div class=\"histograms\">";
    for (size_t i = 0; i < stats.size() && i < kHistogramsShown; ++i) {
        WriteHistogram(out, stats[i].name, model);
    }
    out << "</div></section>\n";
}

// The run for the script: strings once in a table, numbers in flat arrays, times relative to the
// first event.
void WriteData(std::ostream& out, const RunModel& model) {
    std::map<std::string, size_t> index;
    std::vector<const std::string*> names;
    const auto id = [&](const std::string& text) {
        const auto [it, added] = index.emplace(text, names.size());
        if (added) {
            names.push_back(&it->first);
        }
        return it->second;
    };
    std::map<uint64_t, size_t> contextIndex;
    std::ostringstream contexts;
    for (const auto& [cid, context] : model.contexts) {
        const size_t position = contextIndex.size();
        contextIndex[cid] = position;
        const uint64_t end = context.closed ? context.closeTs : model.lastTs;
        contexts << (position > 0 ? "," : "") << cid << "," << context.parent << ","
                 << id(context.name.empty() ? "unnamed" : context.name) << ","
                 << (context.opened ? static_cast<int64_t>(context.openTs - model.firstTs) : -1)
                 << "," << (context.opened ? static_cast<int64_t>(end - model.firstTs) : -1);
    }
    out << "{\"span\":" << model.lastTs - model.firstTs << ",\"contexts\":[" << contexts.str()
        << "],\"scopes\":[";
    bool first = true;
    for (const ScopeSpan& s : model.scopes) {
        const auto found = contextIndex.find(s.context);
        if (found == contextIndex.end()) {
            continue;
        }
        out << (first ? "" : ",") << found->second << "," << id(s.name) << ","
            << s.begin - model.firstTs << "," << s.end - model.firstTs << "," << s.depth;
        first = false;
    }
    out << "],\"marks\":[";
    first = true;
    for (const Mark& m : model.marks) {
        const auto found = contextIndex.find(m.context);
        if (found == contextIndex.end()) {
            continue;
        }
        out << (first ? "" : ",") << found->second << "," << m.ts - model.firstTs << ","
            << id(m.name) << "," << id(m.value);
        first = false;
    }
    out << "],\"names\":[";
    for (size_t i = 0; i < names.size(); ++i) {
        out << (i == 0 ? "" : ",") << JsonQuoted(*names[i]);
    }
    out << "]}";
}

const char* const kStyle =
    "body{font-family:sans-serif;margin:16px}table{border-collapse:collapse;margin:0 24px 12px 0}"
    "td,th{padding:1px 8px;text-align:right}td:first-child,th:first-child{text-align:left}"
    ".tables,.histograms{display:flex;flex-wrap:wrap;align-items:flex-start}"
    "figure{margin:0 16px 8px 0;font-size:11px}figure rect{fill:#4a90d9}"
    "#controls{margin:8px 0}#timeline{border:1px solid #ccc;cursor:grab;user-select:none}"
    "rect.scope{fill:#4a90d9;stroke:#1d4f80;stroke-width:.5}rect.scope.hit{fill:#f5a623}"
    "svg.filtering rect.scope:not(.hit){opacity:.25}rect.life{fill:#e8eef5}"
    "rect.density{fill:#888;opacity:.5}circle.mark{fill:#d97a4a}text{font-size:11px}"
    "text.group{cursor:pointer;font-weight:bold}line.tick{stroke:#ddd}"
    "pre{background:#f6f6f6;padding:8px}";

// Draws the timeline: round ticks (1, 2, 5 x 10^n) in the unit that fits, one lane per context
// group (expandable to its contexts), only what is visible and at least a pixel wide.
const char* const kScript = R"JS(
"use strict";
const D = JSON.parse(document.getElementById("run-data").textContent);
const svg = document.getElementById("timeline");
const NS = "http://www.w3.org/2000/svg";
const LEFT = 220, LANE = 24, TOP = 24, MAX_RECTS = 6000, MAX_LANES = 300;
const names = D.names, C = D.contexts, S = D.scopes, M = D.marks;
const nc = C.length / 5;
const groups = new Map();
for (let i = 0; i < nc; ++i) {
  const g = names[C[i * 5 + 2]];
  if (!groups.has(g)) groups.set(g, {name: g, contexts: [], scopes: [], marks: []});
  groups.get(g).contexts.push(i);
}
const groupOf = [];
for (const g of groups.values()) for (const c of g.contexts) groupOf[c] = g;
for (let i = 0; i < S.length; i += 5) groupOf[S[i]].scopes.push(i);
const marksOf = [];
for (let i = 0; i < M.length; i += 4) {
  groupOf[M[i]].marks.push(i);
  (marksOf[M[i]] = marksOf[M[i]] || []).push(i);
}
const order = [...groups.values()].sort((a, b) => b.contexts.length - a.contexts.length);
const expanded = new Set();
let view = {start: 0, end: Math.max(1, D.span)};
let filter = "";

function el(name, attrs, parent, text) {
  const e = document.createElementNS(NS, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  parent.appendChild(e);
  return e;
}
// Read once per drawing: reading it between DOM changes would lay the page out each time.
let W = 1200;
function width() { return W; }
function x(t) { return LEFT + (t - view.start) / (view.end - view.start) * (W - LEFT - 8); }
function niceStep(range) {
  const raw = range / 8, p = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
  return 10 * p;
}
function label(ns, step) {
  const [unit, div] = step >= 1e6 ? ["ms", 1e6] : step >= 1e3 ? ["\u00b5s", 1e3] : ["ns", 1];
  const digits = Math.max(0, -Math.floor(Math.log10(step / div) + 1e-9));
  return (ns / div).toFixed(digits) + " " + unit;
}
function fmt(ns) { return (ns / 1e6).toFixed(3) + " ms"; }
function lanes() {
  const out = [];
  for (const g of order) {
    out.push({group: g, contexts: g.contexts, scopes: g.scopes, marks: g.marks});
    if (expanded.has(g.name)) {
      for (const c of g.contexts.slice(0, MAX_LANES)) {
        out.push({context: c, contexts: [c], scopes: g.scopes.filter(s => S[s] === c),
                  marks: g.marks.filter(m => M[m] === c)});
      }
    }
  }
  return out;
}
function tooltip(s) {
  const c = S[s], b = S[s + 2], e = S[s + 3];
  let text = names[S[s + 1]] + ": " + fmt(e - b) + "\ncontext " + C[c * 5];
  let n = 0;
  for (const m of marksOf[c] || []) {
    if (M[m + 1] >= b && M[m + 1] <= e && n++ < 8)
      text += "\n" + names[M[m + 2]] + " = " + names[M[m + 3]];
  }
  return text;
}
function draw() {
  W = svg.clientWidth || 1200;
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  const all = lanes(), w = W;
  svg.setAttribute("height", TOP + LANE * all.length + 4);
  svg.dataset.start = view.start; svg.dataset.end = view.end;
  svg.classList.toggle("filtering", filter !== "");
  const step = niceStep(view.end - view.start);
  for (let t = Math.ceil(view.start / step) * step; t <= view.end; t += step) {
    el("line", {class: "tick", x1: x(t), x2: x(t), y1: 16, y2: TOP + LANE * all.length}, svg);
    el("text", {class: "tick", x: x(t) + 2, y: 12, "data-value": t}, svg, label(t, step));
  }
  let rects = 0;
  all.forEach((lane, i) => {
    const y = TOP + LANE * i, g = el("g", {class: "lane"}, svg);
    if (lane.group) {
      const t = el("text", {class: "group", x: 4, y: y + 15, "data-group": lane.group.name}, g,
                   (expanded.has(lane.group.name) ? "\u25be " : "\u25b8 ") + lane.group.name +
                   " (" + lane.contexts.length + ")");
      t.addEventListener("click", () => {
        expanded.has(lane.group.name) ? expanded.delete(lane.group.name) : expanded.add(lane.group.name);
        draw();
      });
    } else {
      el("text", {class: "context", x: 16, y: y + 15}, g, "context " + C[lane.context * 5]);
    }
    const density = new Uint32Array(Math.ceil(w) + 2);
    for (const c of lane.contexts) {
      const open = C[c * 5 + 3], close = C[c * 5 + 4];
      if (open < 0 || close < view.start || open > view.end) continue;
      const x0 = Math.max(LEFT, x(open)), x1 = Math.min(w, x(close));
      if (x1 - x0 >= 1 && lane.contexts.length < 50) el("rect", {class: "life", x: x0, y: y + 1, width: x1 - x0, height: LANE - 2}, g);
    }
    for (const s of lane.scopes) {
      const b = S[s + 2], e = S[s + 3];
      if (e < view.start || b > view.end) continue;
      const x0 = Math.max(LEFT, x(b)), x1 = Math.min(w, x(e)), name = names[S[s + 1]];
      const hit = filter !== "" && name === filter;
      if ((x1 - x0 < 1 || rects >= MAX_RECTS) && !hit) {
        ++density[Math.floor(x0)]; continue;
      }
      ++rects;
      el("rect", {class: hit ? "scope hit" : "scope", "data-name": name, "data-s": s, x: x0,
                  y: y + 3 + 2 * Math.min(S[s + 4], 6), width: Math.max(1, x1 - x0), height: LANE - 10}, g);
    }
    for (const m of lane.marks) {
      const t = M[m + 1];
      if (t < view.start || t > view.end) continue;
      if (lane.marks.length > 2000) { ++density[Math.floor(x(t))]; continue; }
      const c = el("circle", {class: "mark", cx: x(t), cy: y + LANE - 4, r: 2.5}, g);
      el("title", {}, c, names[M[m + 2]] + " = " + names[M[m + 3]]);
    }
    density.forEach((n, k) => {
      if (n > 0) el("rect", {class: "density", x: k, y: y + LANE - 7, width: 1, height: Math.min(6, 1 + Math.log2(n))}, g);
    });
  });
}
function zoom(factor, at) {
  const t = view.start + (at - LEFT) / (width() - LEFT - 8) * (view.end - view.start);
  const range = Math.max(100, (view.end - view.start) * factor);
  const f = (t - view.start) / (view.end - view.start);
  view.start = t - f * range; view.end = view.start + range;
  draw();
}
function pan(ns) { view.start += ns; view.end += ns; draw(); }
svg.addEventListener("wheel", ev => {
  ev.preventDefault();
  zoom(ev.deltaY > 0 ? 1.25 : 0.8, ev.offsetX);
}, {passive: false});
let drag = null;
svg.addEventListener("mousedown", ev => { drag = ev.clientX; });
window.addEventListener("mouseup", () => { drag = null; });
window.addEventListener("mousemove", ev => {
  if (drag === null) return;
  pan(-(ev.clientX - drag) / (width() - LEFT - 8) * (view.end - view.start));
  drag = ev.clientX;
});
window.addEventListener("keydown", ev => {
  if (ev.target.tagName === "INPUT") return;
  const mid = LEFT + (width() - LEFT) / 2, range = view.end - view.start;
  if (ev.key === "+" || ev.key === "=") zoom(0.8, mid);
  else if (ev.key === "-") zoom(1.25, mid);
  else if (ev.key === "ArrowLeft") pan(-range / 10);
  else if (ev.key === "ArrowRight") pan(range / 10);
  else if (ev.key === "0") { view = {start: 0, end: Math.max(1, D.span)}; draw(); }
});
document.getElementById("filter").addEventListener("input", ev => { filter = ev.target.value.trim(); draw(); });
// Tooltips are made when the pointer first reaches a scope: a redraw makes none.
svg.addEventListener("mouseover", ev => {
  const r = ev.target;
  if (r.classList.contains("scope") && !r.firstChild) el("title", {}, r, tooltip(Number(r.dataset.s)));
});
window.addEventListener("resize", draw);
draw();
)JS";

}  // namespace

void WriteHtml(std::ostream& out, const std::vector<LoadedRun>& runs) {
    const RunModel model = MergedModel(runs);
    const std::string title =
        runs.size() == 1 ? runs.front().path : std::to_string(runs.size()) + " runs";
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillmetrics run: "
        << HtmlEscape(title) << "</title>\n<style>" << kStyle << "</style></head><body>\n"
        << "<h1>quillmetrics run: " << HtmlEscape(title) << "</h1>\n";
    WriteSummaryTables(out, model);
    out << "<h2>Timeline</h2>\n<div id=\"controls\">Wheel or +/- to zoom, drag or arrows to pan, "
        << "0 to reset; click a group to show its contexts. Highlight scope: <input id=\"filter\" "
        << "placeholder=\"scope name\"></div>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        << "id=\"timeline\" width=\"100%\" height=\"100\"></svg>\n";
    out << R"(<script type="application/json" id="run-data">)";
    WriteData(out, model);
    out << "</script>\n<script>" << kScript << "</script>\n";
    std::ostringstream summary;
    PrintSummary(summary, runs, SummaryOptions());
    out << "<details><summary>Text summary</summary><pre>" << HtmlEscape(summary.str())
        << "</pre></details>\n</body></html>\n";
}

}  // namespace Metrics::Report
