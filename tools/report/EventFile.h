#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Metrics::Report {

// One line of a CSV event file as the raw client writes it.
struct EventRow {
    size_t line = 0;         // 1-based line number in the file
    uint64_t timestamp = 0;  // ns since the library was loaded
    std::string datetime;    // "seconds.micros", as written
    uint64_t contextId = 0;
    int32_t type = 0;
    std::string param1;
    std::string param2;
};

// A file that cannot be read as an event file: the message names the file and the line.
class BadEventFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EventFile {
    std::vector<EventRow> rows;
    // The file ended inside a line (a run still being written, or one that crashed): that line
    // was left out.
    bool lastLineCut = false;
};

// Splits one line (without its newline) into fields in the writer's dialect; false when a quoted
// field is not closed.
bool SplitCsvLine(const std::string& line, std::vector<std::string>& fields);

// Reads the file in the writer's dialect: the header line, then six fields per line, a field in
// double quotes when it holds a comma, a double quote or a line feed, with quotes doubled inside.
// Throws BadEventFile. progress, when given, is told now and then how many bytes of how many have
// been read.
using ReadProgress = std::function<void(size_t done, size_t total)>;
EventFile ReadEventFile(const std::string& path, const ReadProgress& progress = nullptr);

}  // namespace Metrics::Report
