#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace Metrics::Report {

// Text helpers every output of the report shares. Values arrive as the file holds them, so each
// one repairs invalid UTF-8 first.

// A duration in ns, µs, ms or s, whichever shows it in 1 to 999 units with three significant
// digits: "999 ns", "1.00 µs", "12.3 ms", "1.50 s".
std::string Duration(uint64_t ns);

// The date and time of a "seconds.micros" datetime in UTC, ISO 8601: "2023-11-14T22:13:20.000005Z".
std::string IsoDatetime(std::string_view datetime);

// A byte count as "236 KB", "3.4 MB".
std::string Bytes(uint64_t bytes);

std::string HtmlEscape(std::string_view text);

// A table row: each cell padded to its width in characters (not bytes: "µs" is one column less
// than its bytes), right-aligned, or left-aligned for a negative width; cells apart by one space,
// the row indented by two.
struct Cell {
    std::string text;
    int width;
};
std::string Row(std::initializer_list<Cell> cells);

// The text cut to at most width characters, with "…" where it was cut.
std::string Clip(const std::string& text, size_t width);

// Appends a JSON string literal that may stand inside an HTML script element: besides JSON's own
// escapes, <, >, & and U+2028/U+2029 are written as \u escapes, so no "</script>" or "<!--" can
// form. One pass, linear in the text.
void AppendJsonString(std::string& out, std::string_view text);
std::string JsonQuoted(std::string_view text);

}  // namespace Metrics::Report
