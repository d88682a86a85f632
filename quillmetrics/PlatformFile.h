#pragma once

#include <cstdint>
#include <string>

namespace Metrics {

// A text file that only ever holds whole lines, whatever the disk does.
//
// Each line goes out in one write. A disk that takes a line only in part (space runs out, a file
// size limit) would leave a fragment that the next line is appended to, splicing two events into
// one row; instead the file is cut back to the end of its last whole line. While the cut itself
// fails, no further line is written, so a fragment can only ever stand at the very end.
class LineFile {
public:
    LineFile() noexcept;
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    ~LineFile();

    // Creates the file or truncates it, sharing it for reading and writing with other processes;
    // false when it cannot be opened, with the system's reason in reason. Once only.
    bool Open(const std::string& name, std::string& reason);

    // Appends one line; line must end in '\n', which becomes the system's line end (CR LF on
    // Windows, where line is changed accordingly). False when the line was not written; the file
    // then still ends with its last whole line, or will before the next line is written.
    bool WriteLine(std::string& line);
    // Appends several lines in one write, each ended by EndLine. When the disk takes them only
    // in part, the whole lines it took stay and the rest is lost: false.
    bool WriteLines(const std::string& lines);

    // Makes the '\n' that ends text the system's line end (CR LF on Windows).
    static void EndLine(std::string& text);

private:
#if defined(_WIN32)
    using Handle = void*;
    static constexpr Handle s_closed = nullptr;  // a file's handle is never null
#else
    using Handle = int;
    static constexpr Handle s_closed = -1;
#endif
    // Writes all of it; returns how much went out before the system refused the rest.
    size_t WriteAll(const char* data, size_t size) noexcept;
    // Returns the file to the end of its last whole line.
    bool CutBack() noexcept;

    Handle m_handle = s_closed;
    uint64_t m_end = 0;         // where the last whole line ends
    bool m_cutPending = false;  // a fragment may stand after m_end
};

}  // namespace Metrics
