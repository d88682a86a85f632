// The HTML page: one self-contained file, no network. The summary comes first, as static HTML;
// then a flame-chart timeline that a small script draws on a canvas from the run's data, embedded
// as JSON with binary arrays: a section per file, a group per context name, a row per nesting
// depth, the name inside each bar that holds it, one colour per name, a hover card, click to zoom,
// and search. Only what the view shows is drawn, and scopes narrower than two pixels fold into
// bars of their own colour, so a run of millions of events redraws in tens of milliseconds.

#include <algorithm>
#include <cmath>
#include <map>
#include <queue>
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
    for (const ScopeSpan& span : model.spans) {
        if (model.names[span.name] == name) {
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
    out << "</svg><figcaption>" << HtmlEscape(name) << ": " << Duration(*low) << " to "
        << Duration(*high) << "</figcaption></figure>\n";
}

void WriteSummaryTables(std::ostream& out, const RunModel& model) {
    out << "<section id=\"summary\"><p>" << model.events << " events over " << Duration(model.span)
        << ", " << model.contexts.size()
        << " contexts</p>\n<div class=\"tables\"><table><tr><th>event type</th><th>count</th></tr>";
    for (const auto& [type, count] : model.byType) {
        out << "<tr><td>" << TypeName(type) << "</td><td>" << count << "</td></tr>";
    }
    out << "</table>\n<table "
           "id=\"slowest\"><tr><th>scope</th><th>count</th><th>total</th><th>self</th>"
        << "<th>mean</th><th>p50</th><th>p95</th><th>max</th></tr>";
    const std::vector<ScopeStats> stats = model.StatsByTotal();
    for (size_t i = 0; i < stats.size() && i < kSlowestShown; ++i) {
        const ScopeStats& s = stats[i];
        out << "<tr><td>" << HtmlEscape(s.name) << "</td><td>" << s.count << "</td><td>"
            << Duration(s.total) << "</td><td>" << Duration(s.self) << "</td><td>"
            << Duration(s.mean) << "</td><td>" << Duration(s.p50) << "</td><td>" << Duration(s.p95)
            << "</td><td>" << Duration(s.max) << "</td></tr>";
    }
    out << "</table>\n<table><tr><th>contexts</th><th>count</th><th>p50</th><th>p95</th>"
        << "<th>max</th></tr>";
    for (const ContextGroup& g : model.ContextGroups()) {
        out << "<tr><td>" << HtmlEscape(g.name) << "</td><td>" << g.count << "</td><td>"
            << Duration(g.lifetimes.p50) << "</td><td>" << Duration(g.lifetimes.p95) << "</td><td>"
            << Duration(g.lifetimes.max) << "</td></tr>";
    }
    out << "</table></div>\n<div class=\"histograms\">";
    for (size_t i = 0; i < stats.size() && i < kHistogramsShown; ++i) {
        WriteHistogram(out, stats[i].name, model);
    }
    out << "</div></section>\n";
}

// The run for the script. The timeline's lanes are laid out here: each file is a section, each
// context name a group, and a group's contexts are packed into tracks so that contexts which do
// not overlap in time share one; a track has one row per nesting depth. Scopes go as binary
// arrays (base64), sorted by row and start, which the script reads into typed arrays: a run of
// millions of events stays a page of tens of MB that opens in seconds.
constexpr uint32_t kDeepestRow = 31;
constexpr size_t kMarksKept = 100000;

void AppendBase64(std::string& out, const void* data, size_t size) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = static_cast<const unsigned char*>(data);
    out += '"';
    size_t i = 0;
    for (; i + 2 < size; i += 3) {
        const uint32_t v =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < size) {
        const uint32_t v =
            (uint32_t{bytes[i]} << 16) | (i + 1 < size ? uint32_t{bytes[i + 1]} << 8 : 0);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < size ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    out += '"';
}

template <typename T>
void AppendArray(std::string& out, const char* key, const std::vector<T>& values) {
    out += ",\"";
    out += key;
    out += "\":";
    AppendBase64(out, values.data(), values.size() * sizeof(T));
}

void WriteData(std::ostream& out, const RunModel& model) {
    // Only the names the page refers to go in its table, renumbered in order of first use.
    std::vector<uint32_t> remap(model.names.Size(), kNoName);
    std::vector<uint32_t> used;
    const auto id = [&](uint32_t name) {
        if (name == kNoName) {
            return kNoName;
        }
        if (remap[name] == kNoName) {
            remap[name] = static_cast<uint32_t>(used.size());
            used.push_back(name);
        }
        return remap[name];
    };
    // Where each context's scopes lie, to pack contexts into tracks.
    struct Extent {
        uint64_t begin = UINT64_MAX;
        uint64_t end = 0;
        uint32_t depth = 0;
    };
    std::vector<Extent> extents(model.contexts.size());
    for (const ScopeSpan& span : model.spans) {
        Extent& e = extents[span.context];
        e.begin = std::min(e.begin, span.begin);
        e.end = std::max(e.end, span.end);
        e.depth = std::max(e.depth, std::min(span.depth, kDeepestRow));
    }
    // Groups: (file, context name) -> contexts, by start.
    std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> groups;
    std::vector<size_t> hidden(model.files.size(), 0);
    for (uint32_t i = 0; i < model.contexts.size(); ++i) {
        if (extents[i].begin == UINT64_MAX) {
            ++hidden[model.contexts[i].file];  // nothing to draw
            continue;
        }
        groups[{model.contexts[i].file, model.contexts[i].name}].push_back(i);
    }
    std::vector<uint32_t> trackOf(model.contexts.size(), 0);
    std::vector<uint32_t> trackDepth;     // rows of each track
    std::vector<uint32_t> trackContexts;  // contexts in each track
    std::string text = "{\"span\":" + std::to_string(model.span) + ",\"files\":[";
    std::vector<std::string> fileGroups(model.files.size());
    std::vector<std::vector<std::pair<size_t, std::string>>> ordered(model.files.size());
    for (auto& [key, members] : groups) {
        std::sort(members.begin(), members.end(), [&](uint32_t a, uint32_t b) {
            return extents[a].begin != extents[b].begin ? extents[a].begin < extents[b].begin
                                                        : a < b;
        });
        // First fit by start time: a context goes to the track that has been free longest.
        using Free = std::pair<uint64_t, uint32_t>;  // (end, track)
        std::priority_queue<Free, std::vector<Free>, std::greater<>> free;
        const auto first = static_cast<uint32_t>(trackDepth.size());
        for (const uint32_t c : members) {
            uint32_t track = 0;
            if (!free.empty() && free.top().first <= extents[c].begin) {
                track = free.top().second;
                free.pop();
            } else {
                track = static_cast<uint32_t>(trackDepth.size());
                trackDepth.push_back(0);
                trackContexts.push_back(0);
            }
            trackOf[c] = track;
            ++trackContexts[track];
            trackDepth[track] = std::max(trackDepth[track], extents[c].depth + 1);
            free.push({extents[c].end, track});
        }
        std::string group =
            "{\"name\":" +
            std::to_string(key.second == kNoName ? -1 : static_cast<int64_t>(id(key.second))) +
            ",\"contexts\":" + std::to_string(members.size()) + ",\"tracks\":[" +
            std::to_string(first) + "," + std::to_string(trackDepth.size()) + "]}";
        ordered[key.first].emplace_back(members.size(), std::move(group));
    }
    for (size_t f = 0; f < model.files.size(); ++f) {
        std::stable_sort(ordered[f].begin(), ordered[f].end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        text += f == 0 ? "{\"path\":" : ",{\"path\":";
        AppendJsonString(text, model.files[f].path);
        text += ",\"hidden\":" + std::to_string(hidden[f]) + ",\"groups\":[";
        for (size_t g = 0; g < ordered[f].size(); ++g) {
            text += (g == 0 ? "" : ",") + ordered[f][g].second;
        }
        text += "]}";
    }
    text += "],\"contexts\":[";
    for (size_t i = 0; i < model.contexts.size(); ++i) {
        // Ids as text: a script's numbers hold only 53 bits, and the card shows the file's own id.
        text += (i == 0 ? "\"" : ",\"") + std::to_string(model.contexts[i].id) + "\"," +
                std::to_string(model.contexts[i].file);
    }
    // Rows: each track's depths in turn; scopes sorted by row, then start.
    std::vector<uint32_t> rowStart(trackDepth.size() + 1, 0);
    for (size_t t = 0; t < trackDepth.size(); ++t) {
        rowStart[t + 1] = rowStart[t] + trackDepth[t];
    }
    const auto rowOf = [&](const ScopeSpan& s) {
        return rowStart[trackOf[s.context]] + std::min(s.depth, kDeepestRow);
    };
    std::vector<uint32_t> order(model.spans.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const uint32_t ra = rowOf(model.spans[a]);
        const uint32_t rb = rowOf(model.spans[b]);
        return ra != rb ? ra < rb : model.spans[a].begin < model.spans[b].begin;
    });
    std::vector<double> begins;
    std::vector<double> ends;
    std::vector<float> selfs;
    std::vector<uint32_t> names;
    std::vector<uint32_t> contexts;
    std::vector<uint32_t> rows(rowStart.back() + 1, 0);  // first scope of each row
    for (const uint32_t i : order) {
        const ScopeSpan& s = model.spans[i];
        begins.push_back(static_cast<double>(s.begin));
        ends.push_back(static_cast<double>(s.end));
        selfs.push_back(static_cast<float>(s.self));
        names.push_back(id(s.name));
        contexts.push_back(s.context);
        ++rows[rowOf(s) + 1];
    }
    for (size_t r = 1; r < rows.size(); ++r) {
        rows[r] += rows[r - 1];
    }
    text += "],\"trackRows\":[";
    for (size_t t = 0; t < rowStart.size(); ++t) {
        text += (t == 0 ? "" : ",") + std::to_string(rowStart[t]);
    }
    text += "]";
    AppendArray(text, "rows", rows);
    AppendArray(text, "trackContexts", trackContexts);
    AppendArray(text, "begin", begins);
    AppendArray(text, "end", ends);
    AppendArray(text, "self", selfs);
    AppendArray(text, "name", names);
    AppendArray(text, "context", contexts);
    out << text;
    // Attributes and values for the hover card, by context and time, up to a budget.
    std::vector<uint32_t> marks;
    for (uint32_t i = 0; i < model.marks.size() && marks.size() < kMarksKept; ++i) {
        if (extents[model.marks[i].context].begin != UINT64_MAX) {
            marks.push_back(i);
        }
    }
    std::stable_sort(marks.begin(), marks.end(), [&](uint32_t a, uint32_t b) {
        return model.marks[a].context < model.marks[b].context;
    });
    std::vector<double> markTs;
    std::vector<uint32_t> markContext;
    std::vector<uint32_t> markName;
    std::vector<uint32_t> markValue;
    for (const uint32_t i : marks) {
        markTs.push_back(static_cast<double>(model.marks[i].ts));
        markContext.push_back(model.marks[i].context);
        markName.push_back(id(model.marks[i].name));
        markValue.push_back(id(model.marks[i].value));
    }
    text.clear();
    text += ",\"marksLeft\":" + std::to_string(model.marks.size() - marks.size());
    AppendArray(text, "markTs", markTs);
    AppendArray(text, "markContext", markContext);
    AppendArray(text, "markName", markName);
    AppendArray(text, "markValue", markValue);
    text += ",\"names\":[";
    for (size_t i = 0; i < used.size(); ++i) {
        if (i != 0) {
            text += ',';
        }
        AppendJsonString(text, model.names[used[i]]);
        if (text.size() > (size_t{1} << 20)) {
            out << text;
            text.clear();
        }
    }
    text += "]}";
    out << text;
}

const char* const kStyle =
    "body{font-family:sans-serif;margin:16px}table{border-collapse:collapse;margin:0 24px 12px 0}"
    "td,th{padding:1px 8px;text-align:right}td:first-child,th:first-child{text-align:left}"
    ".tables,.histograms{display:flex;flex-wrap:wrap;align-items:flex-start}"
    "figure{margin:0 16px 8px 0;font-size:11px}figure rect{fill:#4a90d9}"
    "#controls{margin:8px 0}#chart{position:relative}"
    "#timeline{width:100%;display:block;border:1px solid #ccc;cursor:grab;user-select:none}"
    ".legend{font-size:12px;margin:2px 0}.key{white-space:nowrap;margin-right:6px}"
    ".key i{display:inline-block;width:10px;height:10px;margin-right:3px;vertical-align:middle}"
    "#card{position:absolute;background:#fffff4;border:1px solid #999;padding:4px 6px;"
    "font-size:12px;pointer-events:none;max-width:320px;box-shadow:1px 1px 3px #0003}"
    "#found{margin-left:8px;color:#333}pre{background:#f6f6f6;padding:8px}";

// Draws the flame chart on a canvas: the axis (round ticks in the unit that fits), each section,
// group and track row, only what the view shows.
const char* const kScript = R"JS(
"use strict";
const D = JSON.parse(document.getElementById("run-data").textContent);
function decode(text, Type) {
  const bin = atob(text), bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; ++i) bytes[i] = bin.charCodeAt(i);
  return new Type(bytes.buffer);
}
const B = decode(D.begin, Float64Array), E = decode(D.end, Float64Array);
const SELF = decode(D.self, Float32Array), N = decode(D.name, Uint32Array);
const CX = decode(D.context, Uint32Array), ROWS = decode(D.rows, Uint32Array);
const TRACK_CONTEXTS = decode(D.trackContexts, Uint32Array);
const MT = decode(D.markTs, Float64Array), MC = decode(D.markContext, Uint32Array);
const MN = decode(D.markName, Uint32Array), MV = decode(D.markValue, Uint32Array);
const names = D.names, SPAN = Math.max(1, D.span), TR = D.trackRows;
const canvas = document.getElementById("timeline"), g = canvas.getContext("2d");
const card = document.getElementById("card"), found = document.getElementById("found");
const LEFT = 200, AXIS = 30, ROW = 18, HEAD = 22, SHOWN = 8, MOST = 300, MIN_RANGE = 20;
const FONT = "11px sans-serif";

// One colour per scope name, the same wherever the name appears.
const colourCache = new Map();
function colour(name) {
  let c = colourCache.get(name);
  if (c === undefined) {
    let h = 2166136261;
    for (let i = 0; i < names[name].length; ++i) h = Math.imul(h ^ names[name].charCodeAt(i), 16777619);
    h >>>= 0;
    c = "hsl(" + (h % 360) + "," + (45 + (h >>> 9) % 30) + "%," + (58 + (h >>> 17) % 14) + "%)";
    colourCache.set(name, c);
  }
  return c;
}
// Per name: how many scopes and their self time; per file: the names by self time.
const count = new Map(), selfOf = new Map(), byFile = D.files.map(() => new Map());
let allSelf = 0;
for (let i = 0; i < N.length; ++i) {
  count.set(N[i], (count.get(N[i]) || 0) + 1);
  selfOf.set(N[i], (selfOf.get(N[i]) || 0) + SELF[i]);
  const f = byFile[D.contexts[CX[i] * 2 + 1]];
  f.set(N[i], (f.get(N[i]) || 0) + SELF[i]);
  allSelf += SELF[i];
}
function unit(ns) { return ns >= 1e9 ? ["s", 1e9] : ns >= 1e6 ? ["ms", 1e6] : ns >= 1e3 ? ["\u00b5s", 1e3] : ["ns", 1]; }
function duration(ns) {
  const [u, d] = unit(ns), v = ns / d;
  return (v < 10 ? v.toFixed(2) : v < 100 ? v.toFixed(1) : v.toFixed(0)) + " " + u;
}
function esc(t) { return t.replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"})[c]); }

// Each file a section with its own colour key, then its groups, each group its tracks.
const expanded = new Set();
const legends = document.getElementById("legends");
D.files.forEach((f, k) => {
  const top = [...byFile[k].entries()].sort((a, b) => b[1] - a[1]);
  const div = document.createElement("div");
  div.className = "legend";
  div.dataset.file = f.path;
  div.innerHTML = "<b>" + esc(f.path) + "</b> " + top.slice(0, 24).map(([n]) =>
    '<span class="key" data-name="' + esc(names[n]) + '"><i style="background:' + colour(n) +
    '"></i>' + esc(names[n]) + "</span>").join(" ") + (top.length > 24 ? " \u2026 " + (top.length - 24) + " more" : "");
  legends.appendChild(div);
});
let lines = [], height = 0;
function layout() {
  lines = [];
  let y = AXIS;
  D.files.forEach((f, k) => {
    lines.push({kind: "file", y, h: HEAD, text: f.path, file: k}); y += HEAD;
    f.groups.forEach(gr => {
      const label = (gr.name < 0 ? "unnamed" : names[gr.name]);
      const tracks = gr.tracks[1] - gr.tracks[0], key = k + "/" + label;
      const shown = Math.min(tracks, expanded.has(key) ? MOST : SHOWN);
      lines.push({kind: "group", y, h: HEAD, text: label + " \u2014 " + gr.contexts + (gr.contexts === 1 ? " context" : " contexts"), key});
      y += HEAD;
      let left = gr.contexts;
      for (let t = gr.tracks[0]; t < gr.tracks[0] + shown; ++t) {
        left -= TRACK_CONTEXTS[t];
        for (let r = TR[t]; r < TR[t + 1]; ++r) {
          lines.push({kind: "row", y, h: ROW, row: r, text: r === TR[t] && gr.contexts === 1 ?
            "context " + D.contexts[CX[ROWS[r]] * 2] : ""});
          y += ROW;
        }
      }
      if (left > 0) {
        lines.push({kind: "more", y, h: HEAD, key, text: "\u2026 " + left + " more contexts" + (shown < Math.min(tracks, MOST) ? " (click to show)" : "")});
        y += HEAD;
      }
    });
    if (f.hidden > 0) {
      lines.push({kind: "hidden", y, h: HEAD, text: f.hidden + " contexts without scopes (nothing to draw)"});
      y += HEAD;
    }
  });
  height = y + 4;
}
let view = {start: 0, end: SPAN}, W = 1200, match = null, matches = [], current = -1;
const report = window.quillReport = {record: false, drawn: [], drawMs: 0, sections: () => lines.filter(l => l.kind === "file").map(l => ({path: l.text, y: l.y})),
  view: () => [view.start, view.end], lines: () => lines};
function clampView(start, range) {
  range = Math.min(SPAN, Math.max(MIN_RANGE, range));
  start = Math.min(SPAN - range, Math.max(0, start));
  view = {start, end: start + range};
}
function x(t) { return LEFT + (t - view.start) / (view.end - view.start) * (W - LEFT); }
function niceStep(range) {
  const raw = range / Math.max(2, (W - LEFT) / 110), p = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
  return 10 * p;
}
// In the unit of the view's end, with as many decimals as the step needs (at most three).
function tickLabel(v, step, top) {
  let [u, d] = unit(top), digits = Math.max(0, -Math.floor(Math.log10(step / d) + 1e-9));
  if (digits > 3) { [u, d] = unit(step); digits = Math.max(0, -Math.floor(Math.log10(step / d) + 1e-9)); }
  return (v / d).toFixed(digits) + " " + u;
}
function axis() {
  const step = niceStep(view.end - view.start);
  g.fillStyle = "#333"; g.font = FONT; g.textBaseline = "middle";
  let base = 0;
  // Deep in a long run, the ticks are offsets from a base shown once: "554.926 ms +", "+20 ns".
  if (view.start / step >= 1e4) {
    const [u, d] = unit(view.start), q = Math.max(1, d / 1000);
    base = Math.floor(view.start / q) * q;
    g.fillText((base / d).toFixed(3) + " " + u + " +", 4, 14);
  }
  report.ticks = [];
  for (let t = Math.ceil(view.start / step) * step; t <= view.end; t += step) {
    const px = x(t), text = base ? "+" + tickLabel(t - base, step, step) : tickLabel(t, step, view.end);
    g.fillStyle = "#e4e4e4"; g.fillRect(px, AXIS - 6, 1, height - AXIS);
    if (px + g.measureText(text).width + 3 > W) continue;
    g.fillStyle = "#333"; g.fillText(text, px + 3, 14);
    report.ticks.push({value: t, text});
  }
}
const widthCache = new Map();
function textWidth(n) {
  let w = widthCache.get(n);
  if (w === undefined) { w = g.measureText(names[n]).width; widthCache.set(n, w); }
  return w;
}
// The name inside the bar when it fits, elided with "…" when only part of it does.
function label(n, w) {
  if (w < 14) return "";
  const full = textWidth(n), text = names[n];
  if (full + 6 <= w) return text;
  const keep = Math.floor((w - 14) / full * text.length);
  return keep >= 1 ? text.slice(0, keep) + "\u2026" : "";
}
function bar(x0, x1, n, y, hit, spans) {
  const w = Math.max(1, x1 - x0);
  g.globalAlpha = match && !hit ? 0.22 : 1;
  g.fillStyle = colour(n);
  g.fillRect(x0, y + 1, w, ROW - 2);
  const text = spans === 1 ? label(n, w) : "";
  if (text) { g.fillStyle = "#111"; g.fillText(text, x0 + 3, y + ROW / 2); }
  g.globalAlpha = 1;
  if (report.record) report.drawn.push({name: names[n], text, x: x0, y, w, colour: colour(n), hit, spans});
}
function lowerBound(a, lo, hi, v) {
  while (lo < hi) { const m = (lo + hi) >>> 1; if (a[m] < v) lo = m + 1; else hi = m; }
  return lo;
}
// A row from the view's start on: scopes narrower than 2 px fold into one bar per run of them,
// in the colour of the name that holds most of its time, so a long run looks as it is.
function drawRow(r, y) {
  const lo = ROWS[r], hi = ROWS[r + 1];
  let i = lowerBound(B, lo, hi, view.start);
  for (let back = 0; i > lo && E[i - 1] > view.start && back < 64; ++back) --i;
  let ax0 = 0, ax1 = -10, an = 0, best = -1, spans = 0, hit = false;
  const flush = () => { if (spans) bar(ax0, ax1, an, y, hit, spans); spans = 0; hit = false; best = -1; };
  for (; i < hi && B[i] <= view.end; ++i) {
    const x0 = Math.max(LEFT, x(B[i])), x1 = Math.min(W, x(E[i])), h = match !== null && match[N[i]] === 1;
    if (x1 - x0 < 2) {
      if (spans && x0 > ax1 + 1) flush();
      if (!spans) ax0 = x0;
      ax1 = Math.max(ax1, x1, ax0 + 1);
      if (E[i] - B[i] > best) { best = E[i] - B[i]; an = N[i]; }
      ++spans; hit = hit || h;
      continue;
    }
    flush();
    bar(x0, x1, N[i], y, h, 1);
  }
  flush();
}
function draw() {
  const started = performance.now();
  W = canvas.clientWidth || 1200;
  const ratio = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(W * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(W * ratio); canvas.height = Math.round(height * ratio);
    canvas.style.height = height + "px";
  }
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, W, height);
  report.drawn = [];
  canvas.dataset.start = view.start; canvas.dataset.end = view.end;
  axis();
  g.font = FONT; g.textBaseline = "middle";
  for (const l of lines) {
    if (l.kind === "row") drawRow(l.row, l.y);
    g.fillStyle = "#fff"; g.fillRect(0, l.y, LEFT - 2, l.h);
    g.fillStyle = l.kind === "more" || l.kind === "hidden" ? "#777" : "#222";
    g.font = l.kind === "file" ? "bold 13px sans-serif" : l.kind === "group" ? "bold 11px sans-serif" : FONT;
    if (l.kind === "file") { g.fillStyle = "#ccc"; g.fillRect(0, l.y, W, 1); g.fillStyle = "#222"; }
    const text = l.text.length > 34 && l.kind !== "more" && l.kind !== "hidden" ? l.text.slice(0, 33) + "\u2026" : l.text;
    g.fillText(text, l.kind === "row" ? 16 : 4, l.y + l.h / 2);
    g.font = FONT;
  }
  report.drawMs = performance.now() - started;
}
function lineAt(y) {
  for (const l of lines) if (y >= l.y && y < l.y + l.h) return l;
  return null;
}
function spanAt(px, py) {
  const l = lineAt(py);
  if (!l || l.kind !== "row" || px < LEFT) return -1;
  const t = view.start + (px - LEFT) / (W - LEFT) * (view.end - view.start);
  const slack = 2 * (view.end - view.start) / (W - LEFT), lo = ROWS[l.row], hi = ROWS[l.row + 1];
  let i = lowerBound(B, lo, hi, t + slack) - 1, bestI = -1;
  for (let k = 0; i >= lo && k < 64; --i, ++k) {
    if (E[i] >= t - slack && (bestI < 0 || E[i] - B[i] < E[bestI] - B[bestI] || B[i] <= t)) { bestI = i; if (B[i] <= t && E[i] >= t) break; }
  }
  return bestI;
}
function showCard(i, ev) {
  if (i < 0) { card.hidden = true; return; }
  const c = CX[i], id = D.contexts[c * 2], file = D.files[D.contexts[c * 2 + 1]].path;
  let html = "<b>" + esc(names[N[i]]) + "</b><br>" + duration(E[i] - B[i]) + ", self " + duration(SELF[i]) +
    "<br>context " + id + (D.files.length > 1 ? " of " + esc(file) : "");
  let lo = lowerBound(MC, 0, MC.length, c), shown = 0, more = 0;
  for (; lo < MC.length && MC[lo] === c; ++lo) {
    if (MT[lo] < B[i] || MT[lo] > E[i]) continue;
    if (shown++ < 8) html += "<br>" + esc(names[MN[lo]]) + " = " + esc(names[MV[lo]]);
    else ++more;
  }
  if (more) html += "<br>\u2026 " + more + " more";
  card.innerHTML = html;
  card.hidden = false;
  card.style.left = Math.min(ev.offsetX + 14, W - 260) + "px";
  card.style.top = (ev.offsetY + 14) + "px";
}
let drag = null, moved = false;
canvas.addEventListener("mousedown", ev => { drag = ev.clientX; moved = false; });
window.addEventListener("mouseup", () => { drag = null; });
canvas.addEventListener("mousemove", ev => {
  if (drag !== null && Math.abs(ev.clientX - drag) > 3) {
    moved = true;
    clampView(view.start - (ev.clientX - drag) / (W - LEFT) * (view.end - view.start), view.end - view.start);
    drag = ev.clientX;
    draw();
  }
  showCard(spanAt(ev.offsetX, ev.offsetY), ev);
});
canvas.addEventListener("mouseleave", () => { card.hidden = true; });
canvas.addEventListener("click", ev => {
  if (moved) return;
  const l = lineAt(ev.offsetY);
  if (l && (l.kind === "group" || l.kind === "more")) {
    expanded.has(l.key) ? expanded.delete(l.key) : expanded.add(l.key);
    layout(); draw(); return;
  }
  const i = spanAt(ev.offsetX, ev.offsetY);
  if (i >= 0) { clampView(B[i], E[i] - B[i]); draw(); }
});
canvas.addEventListener("dblclick", () => { clampView(0, SPAN); draw(); });
function zoom(factor, px) {
  const t = view.start + (px - LEFT) / (W - LEFT) * (view.end - view.start);
  const range = (view.end - view.start) * factor;
  clampView(t - (t - view.start) / (view.end - view.start) * range, range);
  draw();
}
canvas.addEventListener("wheel", ev => {
  ev.preventDefault();
  zoom(ev.deltaY > 0 ? 1.25 : 0.8, Math.max(LEFT, ev.offsetX));
}, {passive: false});
window.addEventListener("keydown", ev => {
  if (ev.target.tagName === "INPUT") return;
  const range = view.end - view.start, mid = LEFT + (W - LEFT) / 2;
  if (ev.key === "+" || ev.key === "=") zoom(0.8, mid);
  else if (ev.key === "-") zoom(1.25, mid);
  else if (ev.key === "ArrowLeft") { clampView(view.start - range / 10, range); draw(); }
  else if (ev.key === "ArrowRight") { clampView(view.start + range / 10, range); draw(); }
  else if (ev.key === "0") { clampView(0, SPAN); draw(); }
});
// Search: a substring (any case), or a regular expression written as /…/, applied once typing
// pauses; says how many scopes match and their share of the time inside scopes.
const search = document.getElementById("search");
let pending = 0;
function applySearch() {
  const text = search.value.trim();
  match = null; matches = []; current = -1;
  if (text) {
    let test;
    const re = /^\/(.+)\/([a-z]*)$/.exec(text);
    try {
      test = re ? (r => s => r.test(s))(new RegExp(re[1], re[2].replace("g", ""))) : (t => s => s.toLowerCase().includes(t))(text.toLowerCase());
    } catch (e) { found.textContent = "not a valid regular expression"; draw(); return; }
    match = new Uint8Array(names.length);
    let scopes = 0, self = 0;
    for (const [n, c] of count) if (test(names[n])) { match[n] = 1; scopes += c; self += selfOf.get(n); }
    for (let i = 0; i < N.length; ++i) if (match[N[i]]) matches.push(i);
    matches.sort((a, b) => B[a] - B[b]);
    found.textContent = scopes + (scopes === 1 ? " scope matches" : " scopes match") + ", " +
      duration(self) + " self time, " + (allSelf ? (100 * self / allSelf).toFixed(1) : "0") + "% of the time inside scopes";
  } else found.textContent = "";
  report.matchCount = matches.length;
  draw();
}
search.addEventListener("input", () => { clearTimeout(pending); pending = setTimeout(applySearch, 250); });
function step(by) {
  if (!matches.length) return;
  current = (current + by + matches.length) % matches.length;
  const i = matches[current], pad = Math.max(MIN_RANGE, (E[i] - B[i]) * 0.1);
  clampView(B[i] - pad, E[i] - B[i] + 2 * pad);
  found.dataset.current = current + 1;
  draw();
}
search.addEventListener("keydown", ev => { if (ev.key === "Enter") { clearTimeout(pending); if (!match) applySearch(); step(ev.shiftKey ? -1 : 1); } });
document.getElementById("next").addEventListener("click", () => step(1));
document.getElementById("prev").addEventListener("click", () => step(-1));
window.addEventListener("resize", draw);
layout();
draw();
)JS";

}  // namespace

void WriteHtml(std::ostream& out, const RunModel& model) {
    const std::string title = model.files.size() == 1
                                  ? model.files.front().path
                                  : std::to_string(model.files.size()) + " runs";
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillmetrics run: "
        << HtmlEscape(title) << "</title>\n<style>" << kStyle << "</style></head><body>\n"
        << "<h1>quillmetrics run: " << HtmlEscape(title) << "</h1>\n";
    if (model.events == 0) {
        out << "<p id=\"summary\">no events recorded</p>\n</body></html>\n";
        return;
    }
    WriteSummaryTables(out, model);
    out << "<h2>Timeline</h2>\n<div id=\"controls\">Wheel or +/- to zoom, drag or arrows to pan, "
        << "click a bar to zoom to it, double-click or 0 to reset; click a group to show more of "
        << R"(its contexts. Search: <input id="search" placeholder="part of a name, or /regex/">)"
        << " <button id=\"prev\">\u25c0</button><button id=\"next\">\u25b6</button>"
        << "<span id=\"found\"></span></div>\n<div id=\"legends\"></div>\n<div id=\"chart\">"
        << "<canvas id=\"timeline\"></canvas><div id=\"card\" hidden></div></div>\n";
    out << R"(<script type="application/json" id="run-data">)";
    WriteData(out, model);
    out << "</script>\n<script>" << kScript << "</script>\n";
    std::ostringstream summary;
    PrintSummary(summary, model, SummaryOptions());
    out << "<details><summary>Text summary</summary><pre>" << HtmlEscape(summary.str())
        << "</pre></details>\n</body></html>\n";
}

}  // namespace Metrics::Report
