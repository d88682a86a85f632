#pragma once

// Files the tests write and read back.

#include <unistd.h>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Metrics::Testing {

// A CSV file name of this test process's own in the test's temporary folder.
inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + name + std::to_string(getpid()) + ".csv";
}

// A TempPath that is removed when the test is done with it; it starts out removed, too.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : m_path(TempPath(name)) {
        std::remove(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { std::remove(m_path.c_str()); }
    operator const std::string&() const { return m_path; }  // NOLINT(google-explicit-constructor)
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The bytes of a file, "" when there is none.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The lines of a text, without their line ends (LF, or CR LF as files have them on Windows).
inline std::vector<std::string> Lines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

#if !defined(_WIN32)
// A file-size limit stands in for a disk that fills up: a line that crosses it goes out in part
// (a short write), and the next write is refused. Lifting the limit stands for space coming back.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() { Lift(); }
    void Lift() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};
#endif

}  // namespace Metrics::Testing
