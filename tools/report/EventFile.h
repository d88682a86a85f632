#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Metrics::Report {

// One line of a CSV event file as the raw client writes it. The texts point into the reader's
// buffers and are valid only during the call that hands the row over.
struct EventRow {
    size_t line = 0;         // 1-based line number in the file
    uint64_t timestamp = 0;  // ns since the library was loaded
    std::string_view datetime;
    uint64_t contextId = 0;
    int32_t type = 0;
    std::string_view param1;
    std::string_view param2;
};

// A file that cannot be read as an event file: the message names the file and the line, and
// quotes no more than a short excerpt of what it holds.
class BadEventFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ReadSummary {
    size_t rows = 0;
    // The file ended inside a line (a run still being written, or one that crashed): that line,
    // number cutLine, was left out.
    size_t cutLine = 0;
};

// Splits one line (without its newline) into at most maxFields fields in the writer's dialect,
// unquoting into scratch where a field needs it. Returns the number of fields, maxFields + 1 as
// soon as there are more (without building them), or 0 when a quoted field is not closed.
size_t SplitCsvLine(std::string_view line, std::string_view* fields, size_t maxFields,
                    std::string* scratch);

// Reads the file ("-" is standard input) as it streams by: the header line first (a UTF-8 byte
// order mark before it is allowed), then six fields per line, a field in double quotes when it
// holds a comma, a double quote or a line feed, with quotes doubled inside. Each row goes to sink
// in file order. Throws BadEventFile. progress, when given, is told now and then how many bytes
// have been read and how many there are (0 when unknown).
using RowSink = std::function<void(const EventRow&)>;
using ReadProgress = std::function<void(uint64_t done, uint64_t total)>;
ReadSummary ReadEventFile(const std::string& path, const RowSink& sink,
                          const ReadProgress& progress = nullptr);

// A text fit for a terminal or a text report: valid UTF-8, with every control character except
// tab and line feed (ESC, BEL, CR, DEL, the C1 range) shown as an escape such as \x1b.
std::string TerminalText(std::string_view text);

// At most about limit bytes of text for a message, cut with "…" and fit for a terminal.
std::string Excerpt(std::string_view text, size_t limit = 40);

}  // namespace Metrics::Report
