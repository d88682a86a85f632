#pragma once

// Files the tests write and read back.

#include <unistd.h>

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

}  // namespace Metrics::Testing
