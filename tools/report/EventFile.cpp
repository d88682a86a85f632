#include "EventFile.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace Metrics::Report {

namespace {

constexpr const char* kHeader = "timestamp,datetime,context_id,event_type,param1,param2";

[[noreturn]] void Fail(const std::string& path, size_t line, const std::string& message) {
    throw BadEventFile(path + ":" + std::to_string(line) + ": " + message);
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

}  // namespace

bool SplitCsvLine(const std::string& line, std::vector<std::string>& fields) {
    fields.assign(1, std::string());
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty()) {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return !quoted;
}

EventFile ReadEventFile(const std::string& path, const ReadProgress& progress) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw BadEventFile(path + ": cannot open the file");
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string content = buffer.str();

    EventFile file;
    std::vector<std::string> fields;
    size_t lineNumber = 0;
    size_t start = 0;
    constexpr size_t kLinesPerProgress = 65536;
    while (start < content.size()) {
        ++lineNumber;
        if (progress && lineNumber % kLinesPerProgress == 0) {
            progress(start, content.size());
        }
        size_t end = content.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // written in text mode on Windows
        }
        if (lineNumber == 1) {
            if (line != kHeader) {
                Fail(path, 1,
                     "not a quillmetrics event file: the first line is not the header \"" +
                         std::string(kHeader) + "\"");
            }
            continue;
        }
        if (!complete) {
            file.lastLineCut = true;
            break;
        }
        if (!SplitCsvLine(line, fields)) {
            Fail(path, lineNumber, "a quoted field is not closed");
        }
        if (fields.size() != 6) {
            Fail(path, lineNumber, "expected 6 fields, found " + std::to_string(fields.size()));
        }
        EventRow row;
        row.line = lineNumber;
        if (!ParseNumber(fields[0], row.timestamp)) {
            Fail(path, lineNumber, "the timestamp is not a number: \"" + fields[0] + "\"");
        }
        if (!ParseNumber(fields[2], row.contextId)) {
            Fail(path, lineNumber, "the context id is not a number: \"" + fields[2] + "\"");
        }
        if (!ParseNumber(fields[3], row.type)) {
            Fail(path, lineNumber, "the event type is not a number: \"" + fields[3] + "\"");
        }
        row.datetime = std::move(fields[1]);
        row.param1 = std::move(fields[4]);
        row.param2 = std::move(fields[5]);
        file.rows.push_back(std::move(row));
    }
    if (lineNumber == 0) {
        Fail(path, 1, "the file is empty: no header line");
    }
    return file;
}

}  // namespace Metrics::Report
