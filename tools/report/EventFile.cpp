#include "EventFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/stat.h>

#include "Utf8.h"

namespace Metrics::Report {

namespace {

constexpr std::string_view kHeader = "timestamp,datetime,context_id,event_type,param1,param2";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The header is judged on the first read, so a file that is not an event file costs a few KB
// whatever its size.
constexpr size_t kFirstRead = 4096;
constexpr size_t kRead = size_t{1} << 20;
// No line of the writer comes near this; a longer one is not an event file.
constexpr size_t kLongestLine = size_t{64} << 20;
constexpr size_t kFields = 6;

[[noreturn]] void Fail(const std::string& path, size_t line, const std::string& message) {
    throw BadEventFile(Excerpt(path, 200) + ":" + std::to_string(line) + ": " + message);
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

// The file's descriptor, closed on every way out.
class Input {
public:
    explicit Input(const std::string& path)
        : m_fd(path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC))
        , m_owned(path != "-") {
        if (m_fd < 0) {
            throw BadEventFile(Excerpt(path, 200) + ": cannot open the file: " +
                               std::strerror(errno));  // NOLINT(concurrency-mt-unsafe)
        }
        struct stat info {};
        if (::fstat(m_fd, &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                Close();
                throw BadEventFile(Excerpt(path, 200) +
                                   ": is a directory, not an event file (give a CSV file)");
            }
            if (S_ISREG(info.st_mode)) {
                m_size = static_cast<uint64_t>(info.st_size);
            }
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() { Close(); }

    // Appends up to count bytes to buffer; 0 at the end of the file.
    size_t Read(std::string& buffer, size_t count, const std::string& path) {
        const size_t old = buffer.size();
        buffer.resize(old + count);
        ssize_t got = 0;
        do {
            got = ::read(m_fd, buffer.data() + old, count);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int error = errno;
            buffer.resize(old);
            throw BadEventFile(Excerpt(path, 200) + ": cannot read the file: " +
                               std::strerror(error));  // NOLINT(concurrency-mt-unsafe)
        }
        buffer.resize(old + static_cast<size_t>(got));
        return static_cast<size_t>(got);
    }
    uint64_t Size() const { return m_size; }

private:
    void Close() {
        if (m_owned && m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }
    int m_fd;
    bool m_owned;
    uint64_t m_size = 0;
};

}  // namespace

std::string TerminalText(std::string_view text) {
    const std::string valid = ValidUtf8(std::string(text));
    std::string out;
    out.reserve(valid.size());
    char escape[8];
    for (size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xC2 && i + 1 < valid.size() &&
                   static_cast<unsigned char>(valid[i + 1]) < 0xA0) {
            // U+0080 to U+009F: the C1 controls, which some terminals obey as ESC sequences.
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(valid[++i]));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Excerpt(std::string_view text, size_t limit) {
    if (text.size() <= limit) {
        return TerminalText(text);
    }
    // Cut at a character boundary, so the repair adds no U+FFFD of its own.
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return TerminalText(text.substr(0, cut)) + "\u2026";
}

size_t SplitCsvLine(std::string_view line, std::string_view* fields, size_t maxFields,
                    std::string* scratch) {
    size_t count = 0;
    size_t i = 0;
    while (true) {
        if (count == maxFields) {
            return maxFields + 1;
        }
        if (i < line.size() && line[i] == '"') {
            // Quoted: doubled quotes stand for one.
            std::string& text = scratch[count];
            text.clear();
            ++i;
            while (true) {
                const size_t quote = line.find('"', i);
                if (quote == std::string_view::npos) {
                    return 0;
                }
                text.append(line, i, quote - i);
                i = quote + 1;
                if (i < line.size() && line[i] == '"') {
                    text += '"';
                    ++i;
                    continue;
                }
                break;
            }
            // Anything up to the next comma belongs to the field, as a lenient reader takes it.
            const size_t comma = line.find(',', i);
            const size_t stop = comma == std::string_view::npos ? line.size() : comma;
            text.append(line, i, stop - i);
            fields[count++] = text;
            i = stop;
        } else {
            // Fields are short: a plain scan beats a library call per field.
            size_t stop = i;
            while (stop < line.size() && line[stop] != ',') {
                ++stop;
            }
            fields[count++] = line.substr(i, stop - i);
            i = stop;
        }
        if (i >= line.size()) {
            return count;
        }
        ++i;  // the comma
    }
}

ReadSummary ReadEventFile(const std::string& path, const RowSink& sink,
                          const ReadProgress& progress) {
    Input input(path);
    ReadSummary summary;
    std::string buffer;
    buffer.reserve(kRead);
    uint64_t consumed = 0;
    // A pipe may hand over the first bytes in pieces.
    while (buffer.size() < kHeader.size() + kByteOrderMark.size() + 2 &&
           input.Read(buffer, kFirstRead - buffer.size(), path) != 0) {
    }
    if (buffer.empty()) {
        Fail(path, 1, "the file is empty: no header line");
    }
    // The header, judged on what the first read brought: a UTF-8 byte order mark (spreadsheet
    // tools write one) may come before it.
    size_t start =
        buffer.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0 ? kByteOrderMark.size() : 0;
    {
        const std::string_view head = std::string_view(buffer).substr(start, kHeader.size() + 2);
        std::string_view line = head.substr(0, head.find('\n'));
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line != kHeader) {
            Fail(path, 1,
                 "not a quillmetrics event file: the first line is not the header \"" +
                     std::string(kHeader) + "\" but \"" + Excerpt(line) + "\"");
        }
    }
    size_t lineNumber = 1;
    EventRow row;
    std::string_view fields[kFields];
    std::string scratch[kFields];
    bool atEnd = false;
    bool headerDone = false;
    size_t searched = start;  // bytes after start known to hold no line feed
    while (true) {
        const size_t newline = buffer.find('\n', searched);
        if (newline == std::string::npos) {
            if (atEnd) {
                break;
            }
            searched = buffer.size();
            if (buffer.size() - start > kLongestLine) {
                Fail(path, lineNumber + (headerDone ? 1 : 0),
                     "a line longer than 64 MiB: not an event file");
            }
            // Keep the unread tail, then read more behind it.
            consumed += start;
            buffer.erase(0, start);
            searched -= start;
            start = 0;
            if (input.Read(buffer, kRead, path) == 0) {
                atEnd = true;
            }
            if (progress) {
                progress(consumed + buffer.size(), input.Size());
            }
            continue;
        }
        std::string_view line(buffer.data() + start, newline - start);
        start = newline + 1;
        searched = start;
        if (!headerDone) {
            headerDone = true;
            continue;
        }
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);  // written in text mode on Windows
        }
        const size_t count = SplitCsvLine(line, fields, kFields, scratch);
        if (count == 0) {
            Fail(path, lineNumber, "a quoted field is not closed");
        }
        if (count != kFields) {
            Fail(path, lineNumber,
                 count > kFields ? "expected 6 fields, found more"
                                 : "expected 6 fields, found " + std::to_string(count));
        }
        row.line = lineNumber;
        if (!ParseNumber(fields[0], row.timestamp)) {
            Fail(path, lineNumber, "the timestamp is not a number: \"" + Excerpt(fields[0]) + "\"");
        }
        if (!ParseNumber(fields[2], row.contextId)) {
            Fail(path, lineNumber,
                 "the context id is not a number: \"" + Excerpt(fields[2]) + "\"");
        }
        if (!ParseNumber(fields[3], row.type)) {
            Fail(path, lineNumber,
                 "the event type is not a number: \"" + Excerpt(fields[3]) + "\"");
        }
        row.datetime = fields[1];
        row.param1 = fields[4];
        row.param2 = fields[5];
        sink(row);
        ++summary.rows;
    }
    if (start < buffer.size() && headerDone) {
        summary.cutLine = lineNumber + 1;
    }
    return summary;
}

}  // namespace Metrics::Report
