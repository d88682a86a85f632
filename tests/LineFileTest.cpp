// The CSV writer's file: what it does when a line goes out only in part and the file cannot be cut
// back (the case a regular file's test cannot reach).

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <sys/stat.h>
#endif

#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "PlatformFile.h"
#include "support/Files.h"

namespace Metrics::Testing {
namespace {

// A FIFO takes a long line in part when its reader goes away halfway, and cannot be truncated:
// the fragment stays, and no later line may be appended to it, even once a reader is back.
TEST(LineFileTest, NoLineAfterAFragmentThatCannotBeCut) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: uses a FIFO, whose reader can leave in the middle of a write";
#else
    const std::string path = ::testing::TempDir() + "line-file-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    void (*oldHandler)(int) = std::signal(SIGPIPE, SIG_IGN);
    std::string taken;
    std::thread reader([&] {
        const int fd = open(path.c_str(), O_RDONLY);  // waits for the writer
        char buffer[100];
        const ssize_t got = read(fd, buffer, sizeof(buffer));  // waits for the line to start
        if (got > 0) {
            taken.assign(buffer, static_cast<size_t>(got));
        }
        close(fd);  // gone halfway through the line
    });
    LineFile file;
    std::string reason;
    ASSERT_TRUE(file.Open(path, reason)) << reason;
    std::string longLine(200000, 'x');  // more than the pipe holds
    longLine.back() = '\n';
    EXPECT_FALSE(file.WriteLine(longLine));
    reader.join();
    EXPECT_EQ(taken, std::string(100, 'x'));

    // A reader again, with room in the pipe: a line written now would reach it.
    const int again = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(again, 0);
    const auto drain = [again] {
        std::string text;
        char buffer[4096];
        for (ssize_t got = 0; (got = read(again, buffer, sizeof(buffer))) > 0;) {
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    };
    EXPECT_EQ(drain().find_first_not_of('x'), std::string::npos);  // the rest of the fragment
    std::string next = "next,line\n";
    EXPECT_FALSE(file.WriteLine(next));
    EXPECT_EQ(drain(), "") << "a line was appended to the fragment";
    close(again);
    std::signal(SIGPIPE, oldHandler);
    unlink(path.c_str());
#endif
}

// Several lines in one write, as a batch goes out, meeting a full disk (a file size limit): the
// whole lines the disk took stay, a fragment after them is cut off, also one that lacks only its
// line feed, and lines written once there is room again follow the last whole line; also when the
// disk stops exactly at a line's end.
TEST(LineFileTest, ShortWriteOfSeveralLinesKeepsTheWholeOnes) {
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: a file size limit stands in for a full disk";
#else
    const std::string path = TempPath("lines");
    LineFile file;
    std::string reason;
    ASSERT_TRUE(file.Open(path, reason)) << reason;
    constexpr size_t kLine = 6;  // "lineN\n"
    std::string batch;
    for (int i = 0; i < 10; ++i) {
        batch += "line" + std::to_string(i) + "\n";
    }
    {
        FileSizeLimit limit(4 * kLine - 1);  // just before the fourth line's line feed
        EXPECT_FALSE(file.WriteLines(batch));
        EXPECT_EQ(ReadFile(path), batch.substr(0, 3 * kLine));
    }
    {
        FileSizeLimit limit(5 * kLine);  // at the end of the fifth line: nothing to cut
        EXPECT_FALSE(file.WriteLines("line3\nline4\nline5\n"));
        EXPECT_EQ(ReadFile(path), batch.substr(0, 5 * kLine));
    }
    EXPECT_TRUE(file.WriteLines("line5\n"));
    EXPECT_EQ(ReadFile(path), batch.substr(0, 6 * kLine));
    std::remove(path.c_str());
#endif
}

}  // namespace
}  // namespace Metrics::Testing
